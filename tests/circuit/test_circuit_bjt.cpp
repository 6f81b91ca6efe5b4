// Transistors against the Ebers-Moll transport equations with the Early factor, solved independently here:
// the companion model and Jacobian of a single stamp, NPN and PNP bias points found by bisection, the
// junction clamp at 0.75 V and the Early factor with its guard.

#include "circuit/Circuit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using namespace pccn;

namespace
{

constexpr double Vt = 0.02585;

struct Params
{
    double Is;
    int betaF, betaR;
    double VAF; // stored as double by the element; fractional values are set on the field directly
};

// Transport-model currents of the "forward" device at junction voltages v1 (Vbe, or Veb for a PNP) and v2
// (Vbc, or Vcb): collector and base currents. For an NPN they flow into the terminals, for a PNP out of them.
// The base-width factor is (1 - v2/VAF), floored at 0.1.
struct Currents
{
    double ic, ib;
    double dic1, dic2, dib1, dib2; // partial derivatives, the Early factor held constant
};

double earlyFactor(double v2, double vaf)
{
    const double q = 1.0 - v2 / vaf;
    return q < 0.1 ? 0.1 : q;
}

Currents ebersMoll(const Params& p, double v1, double v2)
{
    const double e1 = std::exp(v1 / Vt), e2 = std::exp(v2 / Vt);
    const double f = earlyFactor(v2, p.VAF);
    Currents k{};
    k.ic = p.Is * (e1 - e2) * f - p.Is / p.betaR * (e2 - 1.0);
    k.ib = p.Is / p.betaF * (e1 - 1.0) + p.Is / p.betaR * (e2 - 1.0);
    k.dic1 = p.Is * e1 / Vt * f;
    k.dic2 = -p.Is * e2 / Vt * f - p.Is * e2 / (Vt * p.betaR);
    k.dib1 = p.Is * e1 / (Vt * p.betaF);
    k.dib2 = p.Is * e2 / (Vt * p.betaR);
    return k;
}

// Root of a decreasing function on [lo, hi].
template<class F> double bisect(F f, double lo, double hi)
{
    for (int i = 0; i < 200; ++i)
    {
        const double mid = 0.5 * (lo + hi);
        (f(mid) > 0.0 ? lo : hi) = mid;
    }
    return 0.5 * (lo + hi);
}

std::unique_ptr<Component> makeBjt(bool pnp, int b, int c, int e, const Params& p)
{
    std::unique_ptr<BipolarTransistor> q;
    if (pnp)
        q = std::make_unique<PNP_BJT>("Q", b, c, e, p.Is, p.betaF, p.betaR, 80);
    else
        q = std::make_unique<NPN_BJT>("Q", b, c, e, p.Is, p.betaF, p.betaR, 80);
    q->VAF = p.VAF;
    return q;
}

//==============================================================================================================

struct StampCase
{
    bool pnp;
    double vB, vC, vE;
    Params p;
};

class CircuitBjtStamp : public ::testing::TestWithParam<StampCase>
{
};

// At an unclamped operating point the companion model reproduces the terminal currents (I_T = J v - bnl)
// and the Jacobian is the chain-rule derivative of the currents with respect to the node voltages.
TEST_P(CircuitBjtStamp, CompanionModelAndJacobianMatchEbersMoll)
{
    const StampCase s = GetParam();
    auto q = makeBjt(s.pnp, 1, 2, 3, s.p);
    Matrix J(3, 3);
    Vector bnl(3, 0.0);
    const Vector x{s.vB, s.vC, s.vE};
    StampCtx ctx;
    ctx.Jnl = &J;
    ctx.bnl = &bnl;
    ctx.x = &x;
    ctx.numNodes = 3;
    q->stampNonlinear(ctx);

    // Junction voltages and their gradients with respect to (vB, vC, vE).
    const double sign = s.pnp ? -1.0 : 1.0;
    const double v1 = sign * (s.vB - s.vE), v2 = sign * (s.vB - s.vC);
    ASSERT_LT(v1, 0.75);
    ASSERT_LT(v2, 0.75);
    const double g1[3] = {sign, 0.0, -sign}, g2[3] = {sign, -sign, 0.0};
    const Currents k = ebersMoll(s.p, v1, v2);

    // Currents into base, collector, emitter and their derivatives.
    const double into[3] = {sign * k.ib, sign * k.ic, -sign * (k.ib + k.ic)};
    double d[3][3];
    for (int n = 0; n < 3; ++n)
    {
        d[0][n] = sign * (k.dib1 * g1[n] + k.dib2 * g2[n]);
        d[1][n] = sign * (k.dic1 * g1[n] + k.dic2 * g2[n]);
        d[2][n] = -(d[0][n] + d[1][n]);
    }

    double scale = 0.0;
    for (const auto& row : d)
        for (double v : row)
            scale = std::max(scale, std::abs(v));
    for (int t = 0; t < 3; ++t)
    {
        for (int n = 0; n < 3; ++n)
            EXPECT_NEAR(J(t, n), d[t][n], 1e-12 * scale) << "J(" << t << "," << n << ")";
        const double predicted =
            J(t, 0) * x[0] + J(t, 1) * x[1] + J(t, 2) * x[2] - bnl[static_cast<std::size_t>(t)];
        EXPECT_NEAR(predicted, into[t], 1e-9 * std::abs(into[t]) + 1e-18) << "terminal " << t;
    }
}

const Params small{1e-15, 300, 1, 80};
INSTANTIATE_TEST_SUITE_P(
    Circuit, CircuitBjtStamp,
    ::testing::Values(
        StampCase{false, 0.65, 5.0, 0.0, small},                      // forward active
        StampCase{false, 0.7, 0.6, 0.05, small},                      // saturated, both junctions on
        StampCase{false, -1.0, 3.0, 0.4, small},                      // cut off
        StampCase{false, 0.0, -0.65, 1.0, Params{1e-14, 100, 3, 20}}, // reverse active
        StampCase{true, 4.3, 0.0, 5.0, small},                        // PNP forward active
        StampCase{true, 4.4, 4.8, 5.0, Params{2e-15, 150, 2, 40}},    // PNP saturated
        // Early guard at Vbc = 0.5: q = 1 - 0.5/0.5 = 0 < 0.1 is replaced by 0.1, while
        // q = 1 - 0.5/0.6 = 1/6 is used as it is; a negative VAF with Vbc = -2 gives q = -1.
        StampCase{false, 1.0, 0.5, 0.4, Params{1e-15, 300, 1, 0.5}},
        StampCase{false, 1.0, 0.5, 0.4, Params{1e-15, 300, 1, 0.6}},
        StampCase{false, 0.6, 2.6, 0.0, Params{1e-15, 300, 1, -1.0}},
        // Either side of the guard: q = 1 - 0.46/0.5 = 0.08 is replaced, q = 1 - 0.44/0.5 = 0.12 not.
        StampCase{false, 1.0, 0.54, 0.4, Params{1e-15, 300, 1, 0.5}},
        StampCase{false, 1.0, 0.56, 0.4, Params{1e-15, 300, 1, 0.5}}));

//==============================================================================================================

struct NpnBiasCase
{
    double vB, vC, rE;
    Params p;
};

class CircuitBjtNpnBias : public ::testing::TestWithParam<NpnBiasCase>
{
};

// Base and collector held by sources, emitter to ground through rE: the emitter voltage is the root of
// Ic + Ib = vE / rE, found by bisection.
TEST_P(CircuitBjtNpnBias, MatchesEbersMollSolvedByBisection)
{
    const NpnBiasCase s = GetParam();
    Circuit c;
    const int b = c.addNode("b"), col = c.addNode("c"), e = c.addNode("e");
    c.add(std::make_unique<VoltageSource>("VB", b, 0, s.vB));
    c.add(std::make_unique<VoltageSource>("VC", col, 0, s.vC));
    c.add(makeBjt(false, b, col, e, s.p));
    c.add(std::make_unique<Resistor>("RE", e, 0, s.rE));
    c.prepare(48000.0);

    auto kcl = [&](double vE)
    {
        const Currents k = ebersMoll(s.p, s.vB - vE, s.vB - s.vC);
        return k.ic + k.ib - vE / s.rE;
    };
    const double vE = bisect(kcl, -1.0, s.vB);
    const Currents k = ebersMoll(s.p, s.vB - vE, s.vB - s.vC);
    ASSERT_LT(s.vB - vE, 0.75); // the case stays below the clamp

    ASSERT_TRUE(c.dcOperatingPoint_());
    EXPECT_NEAR(c.nodeVoltage(e), vE, 1e-9);
    EXPECT_NEAR(c.x[3], -k.ib, 1e-7 * k.ib); // current enters the base, leaving VB's positive terminal
    EXPECT_NEAR(c.x[4], -k.ic, 1e-7 * std::abs(k.ic));

    // The transient solve settles on the same point (the 1 nOhm source regularisation is invisible here).
    for (int i = 0; i < 20; ++i)
        c.step();
    EXPECT_NEAR(c.nodeVoltage(e), vE, 1e-9);
    EXPECT_NEAR(c.x[4], -k.ic, 1e-7 * std::abs(k.ic));
}

INSTANTIATE_TEST_SUITE_P(Circuit, CircuitBjtNpnBias,
                         ::testing::Values(NpnBiasCase{1.2, 5.0, 1000.0, Params{1e-15, 300, 1, 80}},
                                           NpnBiasCase{2.0, 12.0, 4700.0, Params{1e-14, 100, 2, 50}},
                                           NpnBiasCase{0.9, 0.5, 100.0,
                                                       Params{1e-15, 200, 1, 80}}, // saturated
                                           NpnBiasCase{5.0, 15.0, 10e3, Params{1e-15, 400, 1, 110}}));

struct PnpBiasCase
{
    double vcc, vB, vC, rE;
    Params p;
};

class CircuitBjtPnpBias : public ::testing::TestWithParam<PnpBiasCase>
{
};

// Emitter fed from vcc through rE, base and collector held by sources: (vcc - vE)/rE = Ic + Ib at
// Veb = vE - vB, Vcb = vC - vB.
TEST_P(CircuitBjtPnpBias, MatchesEbersMollSolvedByBisection)
{
    const PnpBiasCase s = GetParam();
    Circuit c;
    const int b = c.addNode("b"), col = c.addNode("c"), e = c.addNode("e"), sup = c.addNode("vcc");
    c.add(std::make_unique<VoltageSource>("VCC", sup, 0, s.vcc));
    c.add(std::make_unique<VoltageSource>("VB", b, 0, s.vB));
    c.add(std::make_unique<VoltageSource>("VC", col, 0, s.vC));
    c.add(std::make_unique<Resistor>("RE", sup, e, s.rE));
    c.add(makeBjt(true, b, col, e, s.p));
    c.prepare(48000.0);

    auto kcl = [&](double vE)
    {
        const Currents k = ebersMoll(s.p, vE - s.vB, s.vC - s.vB);
        return (s.vcc - vE) / s.rE - (k.ic + k.ib);
    };
    const double vE = bisect(kcl, s.vB - 1.0, s.vcc);
    const Currents k = ebersMoll(s.p, vE - s.vB, s.vC - s.vB);
    ASSERT_LT(vE - s.vB, 0.75);

    ASSERT_TRUE(c.dcOperatingPoint_());
    EXPECT_NEAR(c.nodeVoltage(e), vE, 1e-9);
    // Base and collector currents leave the PNP and enter the sources at their positive terminals.
    EXPECT_NEAR(c.x[5], k.ib, 1e-7 * k.ib);
    EXPECT_NEAR(c.x[6], k.ic, 1e-7 * std::abs(k.ic));
    EXPECT_NEAR(c.x[4], -(s.vcc - vE) / s.rE, 1e-7 * std::abs(k.ic + k.ib));
}

INSTANTIATE_TEST_SUITE_P(Circuit, CircuitBjtPnpBias,
                         ::testing::Values(PnpBiasCase{10.0, 5.0, 0.0, 2200.0, Params{1e-15, 300, 1, 80}},
                                           PnpBiasCase{15.0, 12.0, 3.0, 10e3, Params{1e-14, 100, 2, 50}},
                                           PnpBiasCase{5.0, 4.0, 4.3, 330.0,
                                                       Params{1e-15, 300, 1, 80}})); // saturated

//==============================================================================================================

struct ClampCase
{
    bool pnp;
    double over; // junction voltage above 0.75 V
};

class CircuitBjtClamp : public ::testing::TestWithParam<ClampCase>
{
};

// Forward junction held at 0.75 V + over by sources, collector 5 V away from ground: the collector current
// is the tangent of the exponential at 0.75 V, extended linearly.
TEST_P(CircuitBjtClamp, CurrentAboveTheClampFollowsTheTangent)
{
    const ClampCase s = GetParam();
    const Params p{1e-15, 300, 1, 80};
    const double vj = 0.75 + s.over;
    const double sign = s.pnp ? -1.0 : 1.0;
    Circuit c;
    const int col = c.addNode("c"), drive = c.addNode("drive");
    // NPN: base driven, emitter grounded, collector at +5 V. PNP: emitter driven, base grounded, collector
    // at -5 V.
    c.add(std::make_unique<VoltageSource>("VC", col, 0, 5.0 * sign));
    c.add(std::make_unique<VoltageSource>("VD", drive, 0, vj));
    if (s.pnp)
        c.add(makeBjt(true, 0, col, drive, p));
    else
        c.add(makeBjt(false, drive, col, 0, p));
    c.prepare(48000.0);
    ASSERT_TRUE(c.dcOperatingPoint_());

    // Reverse junction: NPN Vbc = vj - 5, PNP Vcb = -5 - 0.
    const Currents at = ebersMoll(p, 0.75, s.pnp ? -5.0 : vj - 5.0);
    const double icTangent = at.ic + at.dic1 * s.over;
    const double ibTangent = at.ib + at.dib1 * s.over;
    const double collectorBranch = c.x[2];
    const double driveBranch = c.x[3];
    // NPN: Ic enters the collector, out of VC's positive terminal; Ib leaves VD. PNP: Ic leaves the
    // collector into VC (whose positive node is the collector); Ic + Ib leave VD into the emitter.
    EXPECT_NEAR(collectorBranch, -sign * icTangent, 1e-9 * icTangent);
    EXPECT_NEAR(driveBranch, s.pnp ? -(icTangent + ibTangent) : -ibTangent, 1e-9 * icTangent);

    // Far below the exponential it replaces.
    const double exponential = p.Is * std::exp(vj / Vt);
    if (s.over >= 0.1)
    {
        EXPECT_LT(std::abs(collectorBranch), 0.01 * exponential);
    }
}

INSTANTIATE_TEST_SUITE_P(Circuit, CircuitBjtClamp,
                         ::testing::Values(ClampCase{false, 0.01}, ClampCase{false, 0.05},
                                           ClampCase{false, 0.25}, ClampCase{true, 0.01},
                                           ClampCase{true, 0.25}));

struct EarlyCase
{
    int VAF;
    double vC;
};

class CircuitBjtEarly : public ::testing::TestWithParam<EarlyCase>
{
};

// Base held at 0.65 V, emitter grounded: the collector current grows with Vce as (1 + (vC - vB)/VAF).
TEST_P(CircuitBjtEarly, CollectorCurrentScalesWithTheEarlyFactor)
{
    const EarlyCase s = GetParam();
    const Params p{1e-15, 300, 1, static_cast<double>(s.VAF)};
    const double vB = 0.65;
    Circuit c;
    const int b = c.addNode("b"), col = c.addNode("c");
    c.add(std::make_unique<VoltageSource>("VB", b, 0, vB));
    c.add(std::make_unique<VoltageSource>("VC", col, 0, s.vC));
    c.add(makeBjt(false, b, col, 0, p));
    c.prepare(48000.0);
    ASSERT_TRUE(c.dcOperatingPoint_());

    const double e1 = std::exp(vB / Vt), e2 = std::exp((vB - s.vC) / Vt);
    const double ic = p.Is * (e1 - e2) * (1.0 + (s.vC - vB) / s.VAF) - p.Is * (e2 - 1.0);
    EXPECT_NEAR(-c.x[3], ic, 1e-9 * ic);
}

INSTANTIATE_TEST_SUITE_P(Circuit, CircuitBjtEarly,
                         ::testing::Values(EarlyCase{80, 1.0}, EarlyCase{80, 10.0}, EarlyCase{80, 30.0},
                                           EarlyCase{20, 1.0}, EarlyCase{20, 15.0}));

} // namespace

namespace
{

// The device equations exactly as written out, without the shortcuts the simulator takes (skipping exp
// where it underflows or equals 1, skipping divisions by exactly 1). Compared bit for bit.
BjtLinearisation plainLinearisation(double vbeIn, double vbcIn, double Is, double betaF, double betaR,
                                    double VAF, double vMax)
{
    BjtLinearisation L;
    const double vbe = std::min(vbeIn, vMax), vbc = std::min(vbcIn, vMax);
    const double eF = std::exp(vbe / Vt), eR = std::exp(vbc / Vt);
    const double IF = Is * (eF - 1.0), IR = Is * (eR - 1.0);
    const double q = 1.0 - vbc / VAF;
    const double qb = q < 0.1 ? 10.0 : 1.0 / q;
    const double Ic = (IF - IR) / qb - IR / betaR;
    const double Ib = IF / betaF + IR / betaR;
    const double Ie = -(Ic + Ib);
    const double gF = Is * eF / Vt, gR = Is * eR / Vt;
    const double gpi = gF / betaF, gmu = gR / betaR;
    const double a = gF / qb, g = -gR / qb - gmu;
    const double jac[3][3] = {
        {gpi + gmu, -gmu, -gpi}, {a + g, -g, -a}, {-(a + gpi) - (g + gmu), g + gmu, a + gpi}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            L.jac[r][c] = jac[r][c];
    L.ieq[0] = Ib - gpi * vbe - gmu * vbc;
    L.ieq[1] = Ic - a * vbe - g * vbc;
    L.ieq[2] = Ie - (-(a + gpi)) * vbe - (-(g + gmu)) * vbc;
    L.gF = gF;
    return L;
}

TEST(CircuitBjtLinearisation, MatchesThePlainEquationsBitForBit)
{
    const double junction[] = {-40.0, -19.3, -19.27, -18.9, -18.3, -1.0, -1e-3, -0.0,  0.0,
                               1e-9,  0.3,   0.6,    0.74,  0.75,  0.76, 2.0,   1e-300};
    const double betaR[] = {1.0, 3.0};
    const double vaf[] = {80.0, 110.0, 0.5, -1.0};
    int compared = 0;
    for (double vbe : junction)
        for (double vbc : junction)
            for (double br : betaR)
                for (double va : vaf)
                {
                    const BjtLinearisation got = linearizeBjt(vbe, vbc, 1e-15, 300.0, br, va, 0.75);
                    const BjtLinearisation want = plainLinearisation(vbe, vbc, 1e-15, 300.0, br, va, 0.75);
                    for (int r = 0; r < 3; ++r)
                    {
                        for (int c = 0; c < 3; ++c)
                            ASSERT_EQ(got.jac[r][c], want.jac[r][c])
                                << vbe << " " << vbc << " " << br << " " << va;
                        ASSERT_EQ(got.ieq[r], want.ieq[r]) << vbe << " " << vbc << " " << br << " " << va;
                    }
                    ASSERT_EQ(got.gF, want.gF);
                    ++compared;
                }
    EXPECT_EQ(compared, 17 * 17 * 2 * 4);
}

} // namespace
