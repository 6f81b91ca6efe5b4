// The solver's rules: LU factorisation with partial pivoting and its failure on singular matrices, a Newton
// step that keeps its iterate when the system cannot be factorised, the damping schedule of the Newton loop
// and the DC iteration's step context.

#include "circuit/Circuit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

using namespace pccn;

namespace
{

Matrix makeMatrix(int n, std::vector<double> values)
{
    Matrix m(n, n);
    m.data = std::move(values);
    return m;
}

TEST(CircuitSolverLu, HandFactorisations)
{
    const struct
    {
        const char* what;
        Matrix a;
        std::vector<double> lu;
        std::vector<int> perm;
    } cases[] = {
        // |4| > |2|: rows swap; l = 2/4 = 0.5, u11 = 1 - 0.5 * 3 = -0.5.
        {"swap", makeMatrix(2, {2, 1, 4, 3}), {4, 3, 0.5, -0.5}, {1, 0}},
        // |-1| ties |1|: the diagonal keeps the pivot; l = -1, u11 = 3 + 2 = 5.
        {"tie", makeMatrix(2, {1, 2, -1, 3}), {1, 2, -1, 5}, {0, 1}},
        // Column 0 pivots on row 2 (|4|), then column 1 on the old row 0:
        //   [0 2 1; 2 1 1; 4 2 0] -> swap 0,2: [4 2 0; 2 1 1; 0 2 1]; l10 = 0.5 -> row 1 = [0 1]; l20 = 0
        //   (skip)
        //   column 1: |2| (row 2) > |0| (row 1): swap 1,2 -> rows [0.5 | 0 1] and [0 | 2 1]; l21 = 0 / 2 = 0.
        {"3x3", makeMatrix(3, {0, 2, 1, 2, 1, 1, 4, 2, 0}), {4, 2, 0, 0, 2, 1, 0.5, 0, 1}, {2, 0, 1}},
    };
    for (const auto& k : cases)
    {
        Matrix a = k.a;
        std::vector<int> perm{7, 7, 7, 7}; // resized and reset by the call
        ASSERT_TRUE(lu_decompose(a, perm)) << k.what;
        EXPECT_EQ(a.data, k.lu) << k.what;
        EXPECT_EQ(perm, k.perm) << k.what;
    }
}

TEST(CircuitSolverLu, SolvesAgainstAKnownSolution)
{
    const Matrix a = makeMatrix(4, {2, -1, 0, 3, 1, 4, -2, 0, 0, 5, 1, 1, -3, 0, 2, 6});
    const Vector y{1.5, -2.0, 0.25, 3.0};
    Vector v(4, 0.0);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            v[static_cast<std::size_t>(r)] += a(r, c) * y[static_cast<std::size_t>(c)];
    Matrix lu = a;
    std::vector<int> perm;
    ASSERT_TRUE(lu_decompose(lu, perm));
    Vector solved;
    lu_solve(lu, perm, v, solved);
    ASSERT_EQ(solved.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_NEAR(solved[i], y[i], 1e-13);
}

TEST(CircuitSolverLu, SingularMatricesFail)
{
    const struct
    {
        const char* what;
        Matrix a;
    } cases[] = {
        {"zero", makeMatrix(2, {0, 0, 0, 0})},
        {"dependent rows", makeMatrix(3, {1, 2, 3, 2, 4, 6, 1, 1, 1})},
        {"below threshold", makeMatrix(2, {1e-31, 0, 0, 1})},
        {"zero column", makeMatrix(3, {1, 0, 2, 3, 0, 4, 5, 0, 6})},
    };
    for (const auto& k : cases)
    {
        Matrix a = k.a;
        std::vector<int> perm;
        EXPECT_FALSE(lu_decompose(a, perm)) << k.what;
        EXPECT_EQ(perm.size(), static_cast<std::size_t>(k.a.rows)) << k.what;
    }

    // Partly factored on return: [1 2; 2 4] swaps, eliminates column 0 and stops at the zero pivot.
    Matrix a = makeMatrix(2, {1, 2, 2, 4});
    std::vector<int> perm;
    EXPECT_FALSE(lu_decompose(a, perm));
    EXPECT_EQ(a.data, (std::vector<double>{2, 4, 0.5, 0}));
    EXPECT_EQ(perm, (std::vector<int>{1, 0}));

    // A matrix that is not square is refused without being touched.
    Matrix wide(2, 3);
    wide.data = {1, 2, 3, 4, 5, 6};
    EXPECT_FALSE(lu_decompose(wide, perm));
    EXPECT_EQ(wide.data, (std::vector<double>{1, 2, 3, 4, 5, 6}));
}

//==============================================================================================================
// Newton loop

// A nonlinear element for observing the Newton loop: records every iterate it is evaluated at and stamps a
// fixed diagonal Jacobian. At the prepare-time probe (every variable 0.01) it stamps 1 so the entries are
// registered as nonlinear.
class Probe : public Component
{
public:
    Probe(int a, int b, double ja, double jb) : Component("probe", a, b), jacA(ja), jacB(jb) {}
    bool isNonlinear() const override { return true; }
    void stampNonlinear(StampCtx& ctx) override
    {
        const Vector& at = *ctx.x;
        const bool probe = std::all_of(at.begin(), at.end(), [](double v) { return v == 0.01; });
        if (!probe)
        {
            iterates.push_back(at);
            dts.push_back(ctx.dt);
        }
        stampAdd(ctx.Jnl, nodeA - 1, nodeA - 1, probe ? 1.0 : jacA);
        stampAdd(ctx.Jnl, nodeB - 1, nodeB - 1, probe ? 1.0 : jacB);
    }
    double jacA, jacB;
    std::vector<Vector> iterates;
    std::vector<double> dts;
};

TEST(CircuitSolverNewton, SingularSystemKeepsTheIterate)
{
    // A = diag(0, -1e-12) at run time. The banded attempt meets a zero pivot, the dense factorisation fails
    // at column 0, the retry on A + 1e-12 I = diag(1e-12, 0) fails at column 1: the step keeps its start.
    Circuit c;
    const int a = c.addNode("a"), b = c.addNode("b");
    auto probe = std::make_unique<Probe>(a, b, 0.0, -1e-12);
    Probe* p = probe.get();
    c.add(std::move(probe));
    c.prepare(48000.0);
    ASSERT_EQ(c.nonlinearEntries, (std::vector<std::pair<int, int>>{{0, 0}, {1, 1}}));
    EXPECT_TRUE(c.zeroDiagonal.empty()); // no regularisation: the diagonals are nonlinear entries

    c.x = {0.3, -0.7};
    c.step();
    EXPECT_EQ(c.x, (Vector{0.3, -0.7}));
    EXPECT_EQ(p->iterates.size(), 1u); // gave up in the first iteration
    EXPECT_NEAR(c.time, 1.0 / 48000.0, 1e-18);

    // The DC iteration reports the failure and leaves x alone.
    EXPECT_FALSE(c.dcOperatingPoint_());
    EXPECT_EQ(c.x, (Vector{0.3, -0.7}));
}

TEST(CircuitSolverNewton, DampingScheduleOfEachIteration)
{
    // 100 V on a 1 k load: every Newton update points straight at the solution, so the largest move is the
    // limit itself until the end is in reach: 0.2 V in iterations 0..2, 1 V from iteration 3 on.
    Circuit c;
    const int a = c.addNode("a"), spare = c.addNode("spare");
    c.add(std::make_unique<VoltageSource>("V", a, 0, 100.0));
    c.add(std::make_unique<Resistor>("R", a, 0, 1000.0));
    auto probe = std::make_unique<Probe>(spare, 0, 1.0, 0.0);
    Probe* p = probe.get();
    c.add(std::move(probe));
    c.prepare(48000.0);

    double expectedStart = 0.0;
    for (int stepIndex = 0; stepIndex < 4; ++stepIndex)
    {
        p->iterates.clear();
        c.step();
        const auto& it = p->iterates;
        ASSERT_FALSE(it.empty());
        ASSERT_LE(it.size(), 30u);
        EXPECT_NEAR(it[0][0], expectedStart, 1e-9);
        Vector last = c.x;
        for (std::size_t i = 0; i < it.size(); ++i)
        {
            const Vector& next = i + 1 < it.size() ? it[i + 1] : last;
            double move = 0.0;
            for (std::size_t v = 0; v < next.size(); ++v)
                move = std::max(move, std::abs(next[v] - it[i][v]));
            const double limit = i < 3 ? 0.2 : 1.0;
            EXPECT_LE(move, limit + 1e-12) << "step " << stepIndex << " iteration " << i;
            const bool farAway = std::abs(100.0 - it[i][0]) > limit + 1e-6;
            if (farAway)
            {
                EXPECT_NEAR(move, limit, 1e-9) << "step " << stepIndex << " iteration " << i;
            }
        }
        for (double d : p->dts)
            EXPECT_EQ(d, 1.0 / 48000.0);
        // 30 iterations reach 0.6 + 27 = 27.6 V further; the unconverged iterate is the step's result.
        expectedStart = std::min(100.0, expectedStart + 27.6);
        if (stepIndex < 3)
        {
            EXPECT_EQ(it.size(), 30u);
            EXPECT_NEAR(c.x[0], expectedStart, 1e-9);
        }
        else
            EXPECT_NEAR(c.x[0], 100.0, 1e-6);
    }
}

TEST(CircuitSolverNewton, UnconvergedStepKeepsTheLastIterateOnBothSolvers)
{
    // The same 100 V load with an idle transistor instead of the probe, so the circuit runs the transistor
    // code path; forced onto either solver, one step ends after 30 iterations at 27.6 V.
    for (bool banded : {true, false})
    {
        Circuit c;
        const int a = c.addNode("a");
        c.add(std::make_unique<VoltageSource>("V", a, 0, 100.0));
        c.add(std::make_unique<Resistor>("R", a, 0, 1000.0));
        c.add(std::make_unique<NPN_BJT>("Q", 0, 0, 0, 1e-15, 300, 1, 80));
        c.prepare(48000.0);
        EXPECT_TRUE(c.useBanded);
        c.useBanded = banded;
        const double expected[] = {27.6, 55.2, 82.8, 100.0};
        for (double e : expected)
        {
            c.step();
            EXPECT_NEAR(c.x[0], e, 1e-9) << (banded ? "banded" : "dense");
            // The branch current follows within the accuracy of the solve (the banded elimination pivots on
            // the 1e-9 regularisation of the source row first).
            EXPECT_NEAR(c.x[1], -c.x[0] / 1000.0, 1e-5);
        }
    }
}

// Injects a fixed current into node a (no Jacobian of its own) and counts how often it is evaluated.
class Injector : public Component
{
public:
    Injector(int a, double amps) : Component("injector", a, 0), current(amps) {}
    bool isNonlinear() const override { return true; }
    void stampNonlinear(StampCtx& ctx) override
    {
        const Vector& at = *ctx.x;
        const bool probe = std::all_of(at.begin(), at.end(), [](double v) { return v == 0.01; });
        if (!probe)
            ++evaluations;
        stampAdd(ctx.Jnl, nodeA - 1, nodeA - 1, probe ? 1.0 : 0.0);
        stampAdd(ctx.bnl, nodeA - 1, current);
    }
    double current;
    int evaluations = 0;
};

TEST(CircuitSolverNewton, ConvergesOnlyWhenUpdateAndResidualAreBothSmall)
{
    // Current I into a node held by conductance G: iteration 0 sees residual I (amperes) and moves the node
    // by I/G (volts), which solves the linear system, so iteration 1 sees neither.
    const struct
    {
        double amps, siemens;
        int evaluations;
    } cases[] = {
        {1e-7, 1.0, 1},    // update 1e-7, residual 1e-7: converged in iteration 0
        {1e-4, 1000.0, 2}, // update 1e-7 but residual 1e-4: one more iteration
        {5e-7, 0.1, 2},    // residual 5e-7 but update 5e-6: one more iteration
        {1e-3, 100.0, 2},  // both large
    };
    for (const auto& k : cases)
    {
        Circuit c;
        const int a = c.addNode("a");
        c.add(std::make_unique<Resistor>("R", a, 0, 1.0 / k.siemens));
        auto inj = std::make_unique<Injector>(a, k.amps);
        Injector* p = inj.get();
        c.add(std::move(inj));
        c.prepare(48000.0);
        c.step();
        EXPECT_EQ(p->evaluations, k.evaluations) << k.amps << " A into " << k.siemens << " S";
        EXPECT_NEAR(c.x[0], k.amps / k.siemens, 1e-12 * k.amps / k.siemens);
    }
}

TEST(CircuitSolverDc, ContextAndDampingOfTheDcIteration)
{
    // 3 V source: the DC iteration moves at most 0.5 per iteration, so it needs 6 damped moves plus the
    // converging ones; its stamps see the DC time step of 1e9.
    Circuit c;
    const int a = c.addNode("a"), spare = c.addNode("spare");
    c.add(std::make_unique<VoltageSource>("V", a, 0, 3.0));
    c.add(std::make_unique<Resistor>("R", a, 0, 100.0));
    auto probe = std::make_unique<Probe>(spare, 0, 1.0, 0.0);
    Probe* p = probe.get();
    c.add(std::move(probe));
    c.prepare(48000.0);
    p->iterates.clear();
    ASSERT_TRUE(c.dcOperatingPoint_());
    EXPECT_NEAR(c.x[0], 3.0, 1e-12);
    EXPECT_NEAR(c.x[2], -0.03, 1e-14);
    ASSERT_GE(p->iterates.size(), 7u);
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_NEAR(p->iterates[i][0], 0.5 * static_cast<double>(i), 1e-12);
    for (double d : p->dts)
        EXPECT_EQ(d, 1e9);
}

} // namespace
