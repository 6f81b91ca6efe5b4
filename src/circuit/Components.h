#pragma once

#include "circuit/Matrix.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace pccn
{

// What a component stamps into. Any pointer may be null; a stamp writes only into what is present, and
// only at positions that lie inside the target.
struct StampCtx
{
    Matrix* G = nullptr;       // conductance matrix (linear, constant)
    Matrix* C = nullptr;       // capacitance matrix (linear, constant)
    Vector* b = nullptr;       // source vector
    Matrix* Jnl = nullptr;     // Jacobian of the nonlinear elements at *x
    Matrix* Cnl = nullptr;     // operating-point-dependent capacitances at *x
    Vector* bnl = nullptr;     // right-hand-side currents of the nonlinear companion models
    const Vector* x = nullptr; // iterate at which nonlinear elements are evaluated
    int numNodes = 0;          // N; branch k is variable N + k
    double dt = 0.0;           // time step (informational)
    int compIndex = -1;        // index of the component being stamped, -1 when not applicable
    double compInput = 0.0;    // input value of that component
    bool useInputs = false;    // whether compInput is applied
};

// Variable index of a node terminal: node n >= 1 is variable n - 1. Ground (0), negative numbers and nodes
// beyond numNodes give -1, so their rows and columns are skipped. A terminal on a node number that the
// circuit never added therefore behaves like a grounded terminal; it can never reach a branch-current row.
inline int nodeVariable(int node, int numNodes)
{
    return node >= 1 && node <= numNodes ? node - 1 : -1;
}

// Bounds-checked accumulation used by every stamp.
inline void stampAdd(Matrix* m, int r, int c, double v)
{
    if (m != nullptr && m->contains(r, c))
        (*m)(r, c) += v;
}

inline void stampAdd(Vector* v, int r, double value)
{
    if (v != nullptr && r >= 0 && static_cast<std::size_t>(r) < v->size())
        (*v)[static_cast<std::size_t>(r)] += value;
}

// Two-terminal conductance-like pattern: +v on the diagonal, -v off it, between variables i and j.
inline void stampPair(Matrix* m, int i, int j, double v)
{
    if (m == nullptr)
        return;
    if (i >= 0)
        stampAdd(m, i, i, v);
    if (j >= 0)
        stampAdd(m, j, j, v);
    if (i >= 0 && j >= 0)
    {
        stampAdd(m, i, j, -v);
        stampAdd(m, j, i, -v);
    }
}

// Base of every circuit element. Owned by its Circuit.
class Component
{
public:
    Component(std::string elementName, int a, int b) : name(std::move(elementName)), nodeA(a), nodeB(b) {}
    virtual ~Component() = default;

    virtual int numBranches() const { return 0; }
    virtual bool isNonlinear() const { return false; }
    virtual void stampLinear(StampCtx&, double /*time*/) {}
    virtual void stampNonlinear(StampCtx&) {}
    virtual void updateState(const Vector& /*x*/, double /*dt*/) {}
    virtual void onPrepare(int /*numNodes*/) {}

    int branch = -1;
    int branch2 = -1;
    std::string name;
    int nodeA = 0;
    int nodeB = 0;
};

class Resistor : public Component
{
public:
    Resistor(std::string elementName, int a, int b, double ohms)
        : Component(std::move(elementName), a, b), value(ohms)
    {
    }
    void stampLinear(StampCtx& ctx, double time) override;

    double value;
};

class Capacitor : public Component
{
public:
    Capacitor(std::string elementName, int a, int b, double farads)
        : Component(std::move(elementName), a, b), value(farads)
    {
    }
    void stampLinear(StampCtx& ctx, double time) override;

    double value;
};

// Ideal source from nodeA (+) to nodeB (-). Its branch current is the current flowing into the source at
// its positive node. The component's input value is added to its voltage during steps.
class VoltageSource : public Component
{
public:
    VoltageSource(std::string elementName, int positive, int negative, double volts)
        : Component(std::move(elementName), positive, negative), value(volts)
    {
    }
    int numBranches() const override { return 1; }
    void stampLinear(StampCtx& ctx, double time) override;

    double value;
};

// Ebers-Moll bipolar transistor with a simple Early factor and an upper clamp on both junction voltages.
// Shared by both polarities; NPN_BJT and PNP_BJT fix the sign.
class BipolarTransistor : public Component
{
public:
    static constexpr double thermalVoltage = 0.02585;

    BipolarTransistor(std::string elementName, int b, int c, int e, double saturationCurrent, int forwardBeta,
                      int reverseBeta, int earlyVoltage, bool isPnp)
        : Component(std::move(elementName), 0, 0), base(b), collector(c), emitter(e), Is(saturationCurrent),
          betaF(forwardBeta), betaR(reverseBeta), VAF(earlyVoltage), pnp(isPnp)
    {
    }

    bool isNonlinear() const override { return true; }
    void stampLinear(StampCtx& ctx, double time) override;
    void stampNonlinear(StampCtx& ctx) override;

    int base;
    int collector;
    int emitter;
    double Is;
    double betaF;
    double betaR;
    double VAF;
    double Cbe = 0.0;   // farads, base-emitter
    double Cbc = 0.0;   // farads, base-collector
    double TF = 0.0;    // seconds, forward transit time
    double vMax = 0.75; // volts, upper clamp of both junction voltages
    const bool pnp;
};

// Linearised device at one pair of junction voltages. For an NPN vbe and vbc are Vbe and Vbc; for a PNP they
// are Veb and Vcb, and the currents are then those flowing out of its terminals.
struct BjtLinearisation
{
    double vbe = 0.0, vbc = 0.0; // clamped junction voltages
    double gF = 0.0;             // Is * exp(vbe / Vt) / Vt
    double jac[3][3] = {};       // d(terminal current)/d(node voltage); base, collector, emitter
    double ieq[3] = {};          // companion currents of base, collector and emitter
};

// exp(u) for a junction exponent. Below -746 the true value is under half the smallest subnormal and exp
// returns exactly +0 (through its slow underflow path), and exp(0) is exactly 1: both are answered without
// the call.
inline double junctionExp(double u)
{
    if (u < -746.0)
        return 0.0;
    if (u == 0.0)
        return 1.0;
    return std::exp(u);
}

// x / d where the quotient is often exactly x: a divisor of exactly 1 (unit reverse beta, the Early factor
// at Vbc = 0), or a zero dividend over a positive divisor (a junction exponential that underflowed to 0).
// Those cases return x without dividing; every other case divides.
inline double divideExact(double x, double d)
{
    return d == 1.0 || (x == 0.0 && d > 0.0) ? x : x / d;
}

// Ebers-Moll equations with the Early factor and the companion model, at junction voltages vbe and vbc
// (before clamping). Shared by the element's stamp and the circuit's compiled Newton loop so that both
// evaluate exactly the same operations.
inline BjtLinearisation linearizeBjt(double vbeIn, double vbcIn, double Is, double betaF, double betaR,
                                     double VAF, double vMax)
{
    constexpr double Vt = BipolarTransistor::thermalVoltage;
    BjtLinearisation L;
    const double vbe = std::min(vbeIn, vMax);
    const double vbc = std::min(vbcIn, vMax);
    L.vbe = vbe;
    L.vbc = vbc;

    const double eF = junctionExp(vbe / Vt);
    const double eR = junctionExp(vbc / Vt);
    const double IF = Is * (eF - 1.0);
    const double IR = Is * (eR - 1.0);

    // Early factor; the guard keeps qb bounded when Vbc approaches VAF.
    const double q = 1.0 - vbc / VAF;
    const double qb = q < 0.1 ? 10.0 : 1.0 / q;

    const double IRoverBetaR = divideExact(IR, betaR);
    const double Ic = divideExact(IF - IR, qb) - IRoverBetaR;
    const double Ib = IF / betaF + IRoverBetaR;
    const double Ie = -(Ic + Ib);

    const double gF = Is * eF / Vt;
    const double gR = Is * eR / Vt;
    const double gpi = gF / betaF;
    const double gmu = divideExact(gR, betaR);
    const double a = divideExact(gF, qb);        // dIc/dVbe
    const double g = divideExact(-gR, qb) - gmu; // dIc/dVbc (qb is not differentiated)
    L.gF = gF;

    const double dIeVbe = -(a + gpi);
    const double dIeVbc = -(g + gmu);

    L.jac[0][0] = gpi + gmu;
    L.jac[0][1] = -gmu;
    L.jac[0][2] = -gpi;
    L.jac[1][0] = a + g;
    L.jac[1][1] = -g;
    L.jac[1][2] = -a;
    L.jac[2][0] = -(a + gpi) - (g + gmu);
    L.jac[2][1] = g + gmu;
    L.jac[2][2] = a + gpi;

    L.ieq[0] = Ib - gpi * vbe - gmu * vbc;
    L.ieq[1] = Ic - a * vbe - g * vbc;
    L.ieq[2] = Ie - dIeVbe * vbe - dIeVbc * vbc;
    return L;
}

class NPN_BJT : public BipolarTransistor
{
public:
    NPN_BJT(std::string elementName, int b, int c, int e, double saturationCurrent, int forwardBeta,
            int reverseBeta, int earlyVoltage)
        : BipolarTransistor(std::move(elementName), b, c, e, saturationCurrent, forwardBeta, reverseBeta,
                            earlyVoltage, false)
    {
    }
};

class PNP_BJT : public BipolarTransistor
{
public:
    PNP_BJT(std::string elementName, int b, int c, int e, double saturationCurrent, int forwardBeta,
            int reverseBeta, int earlyVoltage)
        : BipolarTransistor(std::move(elementName), b, c, e, saturationCurrent, forwardBeta, reverseBeta,
                            earlyVoltage, true)
    {
    }
};

} // namespace pccn
