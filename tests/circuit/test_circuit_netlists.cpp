// The two transistor netlists the curve bakes simulate, the NE5534-style follower and the VCA gain cell:
// the follower tracks a DC input, the banded and the dense solvers agree, and every step matches a plain
// transcription of the simulation algorithm on dense matrices, bit for bit.

#include "circuit/Circuit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using namespace pccn;

namespace
{

// Transistor classes that behave exactly like the built-in ones but are distinct types, so the circuit
// runs its general (matrix-stamping) Newton loop for them.
class OtherNpn : public NPN_BJT
{
public:
    using NPN_BJT::NPN_BJT;
};
class OtherPnp : public PNP_BJT
{
public:
    using PNP_BJT::PNP_BJT;
};

std::unique_ptr<Component> npn(bool general, const char* n, int b, int c, int e, double is, int bf, int br,
                               int vaf)
{
    if (general)
        return std::make_unique<OtherNpn>(n, b, c, e, is, bf, br, vaf);
    return std::make_unique<NPN_BJT>(n, b, c, e, is, bf, br, vaf);
}

std::unique_ptr<Component> pnp(bool general, const char* n, int b, int c, int e, double is, int bf, int br,
                               int vaf)
{
    if (general)
        return std::make_unique<OtherPnp>(n, b, c, e, is, bf, br, vaf);
    return std::make_unique<PNP_BJT>(n, b, c, e, is, bf, br, vaf);
}

// Unity-gain follower on +-rail: NPN long-tailed pair with 220 Ohm degeneration and a 9 k tail, PNP mirror
// load, PNP second stage with a 15 k pull-down and 30 pF Miller capacitor, 100 k load, output fed back to
// the inverting base. 9 nodes and 3 branches.
void buildFollower(Circuit& c, double rail, bool general = false)
{
    const int vp = c.addNode("vp"), vn = c.addNode("vn"), inp = c.addNode("inp"), c1 = c.addNode("c1");
    const int o1 = c.addNode("o1"), out = c.addNode("out"), tail = c.addNode("tail");
    const int e1 = c.addNode("e1"), e2 = c.addNode("e2");
    c.add(std::make_unique<VoltageSource>("Vp", vp, 0, rail));
    c.add(std::make_unique<VoltageSource>("Vn", vn, 0, -rail));
    c.add(std::make_unique<VoltageSource>("Vsig", inp, 0, 0.0));
    c.add(npn(general, "Q1", out, c1, e1, 1e-15, 300, 1, 80));
    c.add(std::make_unique<Resistor>("Re1", e1, tail, 220.0));
    c.add(npn(general, "Q2", inp, o1, e2, 1e-15, 300, 1, 80));
    c.add(std::make_unique<Resistor>("Re2", e2, tail, 220.0));
    c.add(std::make_unique<Resistor>("Rtail", tail, vn, 9000.0));
    c.add(pnp(general, "Q3", c1, c1, vp, 1e-15, 300, 1, 80));
    c.add(pnp(general, "Q4", c1, o1, vp, 1e-15, 300, 1, 80));
    c.add(pnp(general, "Q5", o1, out, vp, 1e-15, 300, 1, 80));
    c.add(std::make_unique<Resistor>("Rc2", out, vn, 15000.0));
    c.add(std::make_unique<Capacitor>("Cmil", out, o1, 3e-11));
    c.add(std::make_unique<Resistor>("Rload", out, 0, 100000.0));
}

// VCA gain cell: NPN differential pair on +-15 V, 6.81 k collector loads, 13 k tail, input on Q1's base,
// Q2's base grounded with a 2 % larger saturation current. 6 nodes and 3 branches.
void buildVcaCell(Circuit& c, bool general = false)
{
    const int vp = c.addNode("vp"), vn = c.addNode("vn"), in = c.addNode("in"), c1 = c.addNode("c1");
    const int c2 = c.addNode("c2"), tail = c.addNode("tail");
    c.add(std::make_unique<VoltageSource>("Vp", vp, 0, 15.0));
    c.add(std::make_unique<VoltageSource>("Vn", vn, 0, -15.0));
    c.add(std::make_unique<VoltageSource>("Vsig", in, 0, 0.0));
    c.add(std::make_unique<Resistor>("Rc1", vp, c1, 6810.0));
    c.add(std::make_unique<Resistor>("Rc2", vp, c2, 6810.0));
    c.add(std::make_unique<Resistor>("Rtail", tail, vn, 13000.0));
    c.add(std::make_unique<Resistor>("Rb2", c2, 0, 1e9));
    c.add(npn(general, "Q1", in, c1, tail, 1e-15, 400, 1, 110));
    c.add(npn(general, "Q2", 0, c2, tail, 1.02e-15, 400, 1, 110));
}

TEST(CircuitFollower, OutputFollowsADcInputAcrossTheSupplyRange)
{
    Circuit c;
    buildFollower(c, 19.0);
    c.prepare(48000.0);
    ASSERT_EQ(c.numVariables(), 12);
    c.dcOperatingPoint_();
    const int src = c.findComponent("Vsig");
    const int out = c.findNode("out");
    ASSERT_EQ(src, 2);
    ASSERT_EQ(out, 6);
    for (int i = 0; i < 3000; ++i)
        c.step();
    for (double vin = -14.0; vin <= 14.0; vin += 2.0)
    {
        for (int i = 0; i < 2000; ++i)
        {
            c.inputs[static_cast<std::size_t>(src)] = vin;
            c.step();
        }
        EXPECT_LT(std::abs(c.nodeVoltage(out) - vin), 5e-3) << "vin " << vin;
        EXPECT_NEAR(c.nodeVoltage(c.findNode("vp")), 19.0, 1e-6);
        EXPECT_NEAR(c.nodeVoltage(c.findNode("vn")), -19.0, 1e-6);
    }
}

//==============================================================================================================
// Reference transcription

// The simulation algorithm written out on full dense matrices, with no shortcut: every stamp goes through
// the matrices, every product runs over all columns, the banded elimination visits the whole band and the
// dense factorisation divides every multiplier. Structural data is derived here from the stamps.
class Reference
{
public:
    Reference(Circuit& circuit, double sampleRate) : c(circuit)
    {
        N = c.numNodes();
        M = N + c.branchCount;
        dt = 1.0 / sampleRate;
        for (Matrix* m : {&G, &C, &A0, &A, &Jnl, &Cnl, &band})
            m->resize(M, M);
        for (Vector* v : {&b, &bnl, &x, &xi, &hist, &residual, &dx})
            v->assign(static_cast<std::size_t>(M), 0.0);

        StampCtx ctx;
        ctx.G = &G;
        ctx.C = &C;
        ctx.b = &b;
        ctx.numNodes = N;
        ctx.dt = dt;
        for (auto& comp : c.components)
            comp->stampLinear(ctx, 0.0);

        Matrix pattern(M, M);
        for (std::size_t i = 0; i < pattern.data.size(); ++i)
            pattern.data[i] = (std::abs(G.data[i]) > 1e-30 || std::abs(C.data[i]) > 1e-30) ? 1.0 : 0.0;
        probeNonlinear();
        for (std::size_t i = 0; i < pattern.data.size(); ++i)
            if (std::abs(Jnl.data[i]) > 1e-30 || std::abs(Cnl.data[i]) > 1e-30)
                pattern.data[i] = 1.0;
        for (int r = 0; r < M; ++r)
            if (pattern(r, r) == 0.0)
                zeroDiagonal.push_back(r);
        for (int r : zeroDiagonal)
            pattern(r, r) = 1.0;
        order = reverse_cuthill_mckee(pattern);
        std::vector<int> pos(static_cast<std::size_t>(M));
        for (int j = 0; j < M; ++j)
            pos[static_cast<std::size_t>(order[static_cast<std::size_t>(j)])] = j;
        for (int r = 0; r < M; ++r)
            for (int k = 0; k < M; ++k)
                if (pattern(r, k) != 0.0)
                    bw = std::max(
                        bw, std::abs(pos[static_cast<std::size_t>(r)] - pos[static_cast<std::size_t>(k)]));
        banded = 10 * bw < 7 * M;
        for (std::size_t i = 0; i < A0.data.size(); ++i)
            A0.data[i] = G.data[i] + C.data[i] / dt;
        for (int r : zeroDiagonal)
            A0(r, r) += 1e-9;
        probeNonlinear();
        for (int r = 0; r < M; ++r)
            for (int k = 0; k < M; ++k)
                if (std::abs(Jnl(r, k)) > 1e-30 || std::abs(Cnl(r, k)) > 1e-30)
                    entries.emplace_back(r, k);
    }

    void step(const Vector& inputs)
    {
        time += dt;
        std::fill(b.begin(), b.end(), 0.0);
        for (std::size_t i = 0; i < c.components.size(); ++i)
        {
            StampCtx ctx;
            ctx.b = &b;
            ctx.numNodes = N;
            ctx.dt = dt;
            ctx.useInputs = true;
            ctx.compIndex = static_cast<int>(i);
            ctx.compInput = inputs[i];
            c.components[i]->stampLinear(ctx, time);
        }
        xi = x;
        newton();
        x = xi;
    }

    bool dc(const Vector& inputs)
    {
        std::fill(b.begin(), b.end(), 0.0);
        for (std::size_t i = 0; i < c.components.size(); ++i)
        {
            StampCtx ctx;
            ctx.b = &b;
            ctx.numNodes = N;
            ctx.useInputs = true;
            ctx.compIndex = static_cast<int>(i);
            ctx.compInput = inputs[i];
            c.components[i]->stampLinear(ctx, 0.0);
        }
        std::fill(xi.begin(), xi.end(), 0.0);
        for (int iter = 0; iter < 1000; ++iter)
        {
            Jnl.setZero();
            Cnl.setZero();
            std::fill(bnl.begin(), bnl.end(), 0.0);
            stampNonlinear(1e9);
            for (std::size_t i = 0; i < A.data.size(); ++i)
                A.data[i] = G.data[i] + Jnl.data[i];
            double rmax = 0.0;
            for (int r = 0; r < M; ++r)
            {
                double s = 0.0;
                for (int k = 0; k < M; ++k)
                    s += A(r, k) * xi[static_cast<std::size_t>(k)];
                residual[static_cast<std::size_t>(r)] =
                    s - (b[static_cast<std::size_t>(r)] + bnl[static_cast<std::size_t>(r)]);
                rmax = std::max(rmax, std::abs(residual[static_cast<std::size_t>(r)]));
            }
            if (!denseSolve())
                return false;
            double m = 0.0;
            for (double d : dx)
                m = std::max(m, std::abs(d));
            const double scale = m > 0.5 ? 0.5 / m : 1.0;
            for (int i = 0; i < M; ++i)
                xi[static_cast<std::size_t>(i)] += scale * dx[static_cast<std::size_t>(i)];
            if (m < 1e-8 && rmax < 1e-8)
            {
                x = xi;
                return true;
            }
        }
        return false;
    }

    Circuit& c;
    int N = 0, M = 0, bw = 0;
    double dt = 0.0, time = 0.0;
    bool banded = false;
    Matrix G, C, A0, A, Jnl, Cnl, band;
    Vector b, bnl, x, xi, hist, residual, dx;
    std::vector<int> zeroDiagonal, order, perm;
    std::vector<std::pair<int, int>> entries;

private:
    void stampNonlinear(double contextDt)
    {
        StampCtx ctx;
        ctx.Jnl = &Jnl;
        ctx.Cnl = &Cnl;
        ctx.bnl = &bnl;
        ctx.x = &xi;
        ctx.numNodes = N;
        ctx.dt = contextDt;
        for (auto& comp : c.components)
            if (comp->isNonlinear())
                comp->stampNonlinear(ctx);
    }

    void probeNonlinear()
    {
        Jnl.setZero();
        Cnl.setZero();
        std::fill(bnl.begin(), bnl.end(), 0.0);
        std::fill(xi.begin(), xi.end(), 0.01);
        stampNonlinear(dt);
        std::fill(xi.begin(), xi.end(), 0.0);
    }

    void newton()
    {
        for (int iter = 0; iter < 30; ++iter)
        {
            for (const auto& e : entries)
                Jnl(e.first, e.second) = Cnl(e.first, e.second) = 0.0;
            std::fill(bnl.begin(), bnl.end(), 0.0);
            stampNonlinear(dt);
            A = A0;
            for (const auto& e : entries)
                A(e.first, e.second) += Cnl(e.first, e.second) / dt + Jnl(e.first, e.second);
            for (int r = 0; r < M; ++r)
            {
                double s = 0.0;
                for (int k = 0; k < M; ++k)
                    s += (C(r, k) + Cnl(r, k)) * x[static_cast<std::size_t>(k)];
                hist[static_cast<std::size_t>(r)] = s / dt;
            }
            double rmax = 0.0;
            for (int r = 0; r < M; ++r)
            {
                const auto ru = static_cast<std::size_t>(r);
                double s = 0.0;
                for (int k = 0; k < M; ++k)
                    s += A(r, k) * xi[static_cast<std::size_t>(k)];
                residual[ru] = s - (b[ru] + bnl[ru] + hist[ru]);
                rmax = std::max(rmax, std::abs(residual[ru]));
            }
            if (!(banded && bandSolve()) && !denseSolve())
                return;
            double m = 0.0;
            for (double d : dx)
                m = std::max(m, std::abs(d));
            const double limit = iter < 3 ? 0.2 : 1.0;
            const double scale = m > limit ? limit / m : 1.0;
            for (int i = 0; i < M; ++i)
                xi[static_cast<std::size_t>(i)] += scale * dx[static_cast<std::size_t>(i)];
            if (m < 1e-6 && rmax < 1e-6)
                return;
        }
    }

    bool bandSolve()
    {
        Vector y(static_cast<std::size_t>(M));
        for (int j = 0; j < M; ++j)
        {
            for (int k = 0; k < M; ++k)
                band(j, k) = A(order[static_cast<std::size_t>(j)], order[static_cast<std::size_t>(k)]);
            y[static_cast<std::size_t>(j)] =
                -residual[static_cast<std::size_t>(order[static_cast<std::size_t>(j)])];
        }
        for (int k = 0; k < M; ++k)
        {
            if (std::abs(band(k, k)) < 1e-30)
                return false;
            const int end = std::min(M, k + bw + 1);
            for (int r = k + 1; r < end; ++r)
            {
                if (std::abs(band(r, k)) < 1e-30)
                    continue;
                band(r, k) /= band(k, k);
                for (int col = k + 1; col < end; ++col)
                    band(r, col) -= band(r, k) * band(k, col);
            }
        }
        for (int r = 0; r < M; ++r)
            for (int col = std::max(0, r - bw); col < r; ++col)
                y[static_cast<std::size_t>(r)] -= band(r, col) * y[static_cast<std::size_t>(col)];
        for (int r = M - 1; r >= 0; --r)
        {
            for (int col = r + 1; col < std::min(M, r + bw + 1); ++col)
                y[static_cast<std::size_t>(r)] -= band(r, col) * y[static_cast<std::size_t>(col)];
            y[static_cast<std::size_t>(r)] /= band(r, r);
        }
        for (int j = 0; j < M; ++j)
            dx[static_cast<std::size_t>(order[static_cast<std::size_t>(j)])] = y[static_cast<std::size_t>(j)];
        return true;
    }

    // Partial pivoting, every multiplier divided and applied.
    static bool factor(Matrix& a, std::vector<int>& p)
    {
        const int n = a.rows;
        p.resize(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i)
            p[static_cast<std::size_t>(i)] = i;
        for (int k = 0; k < n; ++k)
        {
            int piv = k;
            for (int r = k + 1; r < n; ++r)
                if (std::abs(a(r, k)) > std::abs(a(piv, k)))
                    piv = r;
            if (std::abs(a(piv, k)) < 1e-30)
                return false;
            for (int col = 0; col < n; ++col)
                std::swap(a(k, col), a(piv, col));
            std::swap(p[static_cast<std::size_t>(k)], p[static_cast<std::size_t>(piv)]);
            for (int r = k + 1; r < n; ++r)
            {
                a(r, k) /= a(k, k);
                for (int col = k + 1; col < n; ++col)
                    a(r, col) -= a(r, k) * a(k, col);
            }
        }
        return true;
    }

    bool denseSolve()
    {
        if (!factor(A, perm))
        {
            for (int r = 0; r < M; ++r)
                A(r, r) += 1e-12;
            if (!factor(A, perm))
                return false;
        }
        Vector w(static_cast<std::size_t>(M));
        for (int r = 0; r < M; ++r)
            w[static_cast<std::size_t>(r)] =
                -residual[static_cast<std::size_t>(perm[static_cast<std::size_t>(r)])];
        for (int r = 0; r < M; ++r)
            for (int col = 0; col < r; ++col)
                w[static_cast<std::size_t>(r)] -= A(r, col) * w[static_cast<std::size_t>(col)];
        for (int r = M - 1; r >= 0; --r)
        {
            for (int col = r + 1; col < M; ++col)
                w[static_cast<std::size_t>(r)] -= A(r, col) * w[static_cast<std::size_t>(col)];
            w[static_cast<std::size_t>(r)] /= A(r, r);
        }
        dx = w;
        return true;
    }
};

// Input sequences: slow ramps like the bakes, steps that need many damped iterations, and (for the
// follower) a stretch beyond the rails where the banded elimination meets tiny pivots.
std::vector<double> followerDrive()
{
    std::vector<double> v(200, 0.0);
    for (int i = 0; i < 300; ++i)
        v.push_back(23.0 * i / 300.0);
    for (int i = 0; i < 600; ++i)
        v.push_back(23.0 - 46.0 * i / 600.0);
    for (double s : {5.0, -3.0, 12.0, 0.0})
        v.insert(v.end(), 40, s);
    return v;
}

std::vector<double> vcaDrive()
{
    std::vector<double> v(200, 0.0);
    for (int i = 0; i < 400; ++i)
        v.push_back(0.02 * std::sin(0.05 * i));
    for (double s : {0.3, -0.5, 1.5, 0.0})
        v.insert(v.end(), 40, s);
    return v;
}

struct BitCase
{
    const char* what;
    std::function<void(Circuit&)> build;
    std::vector<double> (*drive)();
    bool forceDense;
};

class CircuitReference : public ::testing::TestWithParam<BitCase>
{
};

TEST_P(CircuitReference, EveryStepMatchesThePlainAlgorithmBitForBit)
{
    const BitCase& k = GetParam();
    Circuit c;
    k.build(c);
    c.prepare(48000.0);
    Reference ref(c, 48000.0);

    // Structure derived independently from the same stamps.
    EXPECT_EQ(c.zeroDiagonal, ref.zeroDiagonal);
    EXPECT_EQ(c.rcmOrder, ref.order);
    EXPECT_EQ(c.bandwidth, ref.bw);
    EXPECT_EQ(c.useBanded, ref.banded);
    EXPECT_EQ(c.nonlinearEntries, ref.entries);
    EXPECT_EQ(c.A0.data, ref.A0.data);
    ASSERT_TRUE(c.useBanded);
    if (k.forceDense)
        c.useBanded = ref.banded = false;

    const bool dcOk = c.dcOperatingPoint_();
    EXPECT_EQ(dcOk, ref.dc(c.inputs));
    ASSERT_EQ(c.x, ref.x);

    const int src = c.findComponent("Vsig");
    Vector inputs(c.components.size(), 0.0);
    int n = 0;
    for (double v : k.drive())
    {
        inputs[static_cast<std::size_t>(src)] = v;
        c.inputs = inputs;
        c.step();
        ref.step(inputs);
        for (std::size_t i = 0; i < c.x.size(); ++i)
            ASSERT_EQ(c.x[i], ref.x[i]) << k.what << ": step " << n << ", variable " << i;
        ++n;
    }
    EXPECT_EQ(c.time, ref.time);
}

INSTANTIATE_TEST_SUITE_P(
    Circuit, CircuitReference,
    ::testing::Values(
        BitCase{"follower", [](Circuit& c) { buildFollower(c, 19.0); }, followerDrive, false},
        BitCase{"follower dense", [](Circuit& c) { buildFollower(c, 16.0); }, followerDrive, true},
        BitCase{"follower general", [](Circuit& c) { buildFollower(c, 19.0, true); }, followerDrive, false},
        BitCase{"follower general dense", [](Circuit& c) { buildFollower(c, 19.0, true); }, followerDrive,
                true},
        BitCase{"vca", [](Circuit& c) { buildVcaCell(c); }, vcaDrive, false},
        BitCase{"vca dense", [](Circuit& c) { buildVcaCell(c); }, vcaDrive, true},
        BitCase{"vca general", [](Circuit& c) { buildVcaCell(c, true); }, vcaDrive, false}));

TEST(CircuitReference, BandedAndDenseSolversReachTheSameSolution)
{
    for (int which = 0; which < 2; ++which)
    {
        Circuit banded, dense;
        for (Circuit* c : {&banded, &dense})
        {
            if (which == 0)
                buildFollower(*c, 19.0);
            else
                buildVcaCell(*c);
            c->prepare(48000.0);
            c->dcOperatingPoint_();
        }
        ASSERT_TRUE(banded.useBanded);
        dense.useBanded = false;
        const int src = banded.findComponent("Vsig");
        const std::vector<double> drive = which == 0 ? followerDrive() : vcaDrive();
        double worst = 0.0;
        for (double v : drive)
        {
            for (Circuit* c : {&banded, &dense})
            {
                c->inputs[static_cast<std::size_t>(src)] = v;
                c->step();
            }
            for (int node = 1; node <= banded.numNodes(); ++node)
                worst = std::max(worst, std::abs(banded.nodeVoltage(node) - dense.nodeVoltage(node)));
        }
        EXPECT_LT(worst, 1e-6) << (which == 0 ? "follower" : "vca");
        // The two paths really are different computations.
        EXPECT_GT(worst, 0.0) << (which == 0 ? "follower" : "vca");
    }
}

} // namespace
