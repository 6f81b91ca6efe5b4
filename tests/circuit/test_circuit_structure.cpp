// What prepare derives from a netlist: the zero-diagonal list and its 1e-9 regularisation, stamps that skip
// grounded and unknown terminals, the reverse Cuthill-McKee order, the bandwidth rule that picks the banded
// solver, and the list of nonlinear entries.

#include "circuit/Circuit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

using namespace pccn;

namespace
{

// An NPN with every terminal on ground: stamps nothing, but makes the circuit nonlinear.
std::unique_ptr<Component> idleTransistor()
{
    return std::make_unique<NPN_BJT>("Qidle", 0, 0, 0, 1e-15, 300, 1, 80);
}

TEST(CircuitStructure, GroundedSourceHasARegularisedZeroDiagonal)
{
    // Node a driven by V1 to ground and loaded by 1 Ohm: G = [[1, 1], [1, 0]], branch row 1 has no diagonal.
    const double volts = 0.1, ohms = 1.0;
    auto build = [&](Circuit& c, bool nonlinear)
    {
        const int a = c.addNode("a");
        c.add(std::make_unique<VoltageSource>("V1", a, 0, volts));
        c.add(std::make_unique<Resistor>("R", a, 0, ohms));
        if (nonlinear)
            c.add(idleTransistor());
        c.prepare(48000.0);
    };

    Circuit nl;
    build(nl, true);
    EXPECT_EQ(nl.zeroDiagonal, std::vector<int>{1});
    EXPECT_EQ(nl.A0(1, 1), 1e-9);
    EXPECT_EQ(nl.A0(0, 0), 1.0 / ohms);
    EXPECT_EQ(nl.A0(0, 1), 1.0);
    EXPECT_EQ(nl.A0(1, 0), 1.0);
    EXPECT_EQ(nl.G(1, 1), 0.0);
    EXPECT_EQ(nl.pattern(1, 1), 1.0);
    EXPECT_TRUE(nl.nonlinearEntries.empty());

    // Newton solves the regularised system v + 1e-9 i = V, v/R + i = 0, so v = V / (1 - 1e-9/R) ...
    nl.step();
    EXPECT_NEAR(nl.x[0], volts / (1.0 - 1e-9 / ohms), 1e-17);
    EXPECT_GT(std::abs(nl.x[0] - volts), 5e-11);

    // ... while the linear circuit's prepare-time factors carry no regularisation.
    Circuit lin;
    build(lin, false);
    EXPECT_EQ(lin.zeroDiagonal, std::vector<int>{1});
    lin.step();
    EXPECT_NEAR(lin.x[0], volts, 1e-17);
    EXPECT_NEAR(lin.x[1], -volts / ohms, 1e-16);
}

TEST(CircuitStructure, A0IsConductancePlusCapacitanceOverDt)
{
    Circuit c;
    const int a = c.addNode("a"), b = c.addNode("b");
    c.add(std::make_unique<Resistor>("R", a, b, 2200.0));
    c.add(std::make_unique<Capacitor>("C1", a, 0, 47e-9));
    c.add(std::make_unique<Capacitor>("C2", a, b, 1e-9));
    c.add(idleTransistor());
    const double fs = 44100.0;
    c.prepare(fs);
    const double dt = 1.0 / fs, g = 1.0 / 2200.0;
    EXPECT_DOUBLE_EQ(c.A0(0, 0), g + (47e-9 + 1e-9) / dt);
    EXPECT_DOUBLE_EQ(c.A0(0, 1), -g - 1e-9 / dt);
    EXPECT_DOUBLE_EQ(c.A0(1, 0), -g - 1e-9 / dt);
    EXPECT_DOUBLE_EQ(c.A0(1, 1), g + 1e-9 / dt);
    EXPECT_TRUE(c.zeroDiagonal.empty());
    EXPECT_DOUBLE_EQ(c.dt, dt);
}

//==============================================================================================================
// Stamps of grounded, negative and unknown terminals

struct StampTargets
{
    Matrix G{3, 3}, C{3, 3}, J{3, 3}, Cn{3, 3};
    Vector b = Vector(3, 0.25), bnl = Vector(3, 0.25);
    Vector x{0.3, 0.6, 0.0};

    StampTargets()
    {
        for (Matrix* m : {&G, &C, &J, &Cn})
            for (double& v : m->data)
                v = 0.5;
    }

    void stampAll(Component& comp)
    {
        StampCtx ctx;
        ctx.G = &G;
        ctx.C = &C;
        ctx.b = &b;
        ctx.Jnl = &J;
        ctx.Cnl = &Cn;
        ctx.bnl = &bnl;
        ctx.x = &x;
        ctx.numNodes = 2; // variables 0, 1 are nodes 1, 2; variable 2 is branch 0
        ctx.compIndex = 0;
        ctx.compInput = 0.125;
        ctx.useInputs = true;
        comp.stampLinear(ctx, 0.0);
        comp.stampNonlinear(ctx);
    }
};

struct NothingCase
{
    const char* what;
    std::function<std::unique_ptr<Component>()> make;
};

class CircuitStructureStamps : public ::testing::TestWithParam<NothingCase>
{
};

TEST_P(CircuitStructureStamps, TerminalsOffTheNodeRangeStampNothing)
{
    StampTargets t, untouched;
    auto comp = GetParam().make();
    comp->branch = -1; // no branch: nothing of its own to stamp either
    t.stampAll(*comp);
    EXPECT_EQ(t.G.data, untouched.G.data);
    EXPECT_EQ(t.C.data, untouched.C.data);
    EXPECT_EQ(t.J.data, untouched.J.data);
    EXPECT_EQ(t.Cn.data, untouched.Cn.data);
    EXPECT_EQ(t.b, untouched.b);
    EXPECT_EQ(t.bnl, untouched.bnl);
}

auto withCaps = [](double cbe, double cbc, double tf)
{
    return [=]
    {
        auto q = std::make_unique<NPN_BJT>("Q", 0, 0, 0, 1e-15, 300, 1, 80);
        q->Cbe = cbe;
        q->Cbc = cbc;
        q->TF = tf;
        return std::unique_ptr<Component>(std::move(q));
    };
};

INSTANTIATE_TEST_SUITE_P(
    Circuit, CircuitStructureStamps,
    ::testing::Values(
        NothingCase{"resistor grounded", [] { return std::make_unique<Resistor>("R", 0, 0, 10.0); }},
        NothingCase{"resistor unknown", [] { return std::make_unique<Resistor>("R", 7, 3, 10.0); }},
        NothingCase{"resistor negative", [] { return std::make_unique<Resistor>("R", -1, 0, 10.0); }},
        NothingCase{"capacitor grounded", [] { return std::make_unique<Capacitor>("C", 0, 0, 1e-6); }},
        NothingCase{"capacitor unknown", [] { return std::make_unique<Capacitor>("C", 3, -4, 1e-6); }},
        NothingCase{"npn grounded", withCaps(1e-12, 1e-12, 1e-9)},
        NothingCase{"pnp mixed", [] { return std::make_unique<PNP_BJT>("Q", 0, 5, -4, 1e-15, 300, 1, 80); }},
        NothingCase{"source without branch",
                    [] { return std::make_unique<VoltageSource>("V", 1, 2, 5.0); }}));

TEST(CircuitStructureStamps, GroundedSourceStampsOnlyItsBranchRow)
{
    // Both terminals on ground: no matrix entry, but the source value (plus input) still sits in b.
    for (int node : {0, 9})
    {
        StampTargets t, untouched;
        VoltageSource v("V", node, 0, 2.0);
        v.branch = 0;
        t.stampAll(v);
        EXPECT_EQ(t.G.data, untouched.G.data);
        EXPECT_EQ(t.b[0], 0.25);
        EXPECT_EQ(t.b[1], 0.25);
        EXPECT_EQ(t.b[2], 0.25 + 2.0 + 0.125);
    }
}

TEST(CircuitStructureStamps, UnknownNodeStampsLikeGround)
{
    // A terminal on a node that was never added is skipped exactly like a grounded one, so it can never
    // reach the branch rows that follow the node rows.
    const std::pair<std::function<std::unique_ptr<Component>(int)>, const char*> kinds[] = {
        {[](int n) { return std::make_unique<Resistor>("R", 1, n, 100.0); }, "resistor"},
        {[](int n) { return std::make_unique<Capacitor>("C", n, 2, 1e-6); }, "capacitor"},
        {[](int n) { return std::make_unique<NPN_BJT>("Q", 1, n, 2, 1e-15, 300, 1, 80); }, "npn"},
        {[](int n) { return std::make_unique<PNP_BJT>("Q", n, 1, 2, 1e-15, 300, 1, 80); }, "pnp"},
        {[](int n)
         {
             auto v = std::make_unique<VoltageSource>("V", 1, n, 1.0);
             v->branch = 0;
             return v;
         },
         "source"}};
    for (const auto& k : kinds)
    {
        StampTargets unknown, grounded;
        for (StampTargets* t : {&unknown, &grounded})
            for (Matrix* m : {&t->G, &t->C, &t->J, &t->Cn})
                m->setZero();
        auto a = k.first(3);
        auto b = k.first(0);
        unknown.stampAll(*a);
        grounded.stampAll(*b);
        EXPECT_EQ(unknown.G.data, grounded.G.data) << k.second;
        EXPECT_EQ(unknown.C.data, grounded.C.data) << k.second;
        EXPECT_EQ(unknown.J.data, grounded.J.data) << k.second;
        EXPECT_EQ(unknown.b, grounded.b) << k.second;
        EXPECT_EQ(unknown.bnl, grounded.bnl) << k.second;
    }
}

//==============================================================================================================
// Reverse Cuthill-McKee

Matrix symmetricPattern(int n, const std::vector<std::pair<int, int>>& edges)
{
    Matrix p(n, n);
    for (int i = 0; i < n; ++i)
        p(i, i) = 1.0;
    for (const auto& e : edges)
        p(e.first, e.second) = p(e.second, e.first) = 1.0;
    return p;
}

TEST(CircuitStructureRcm, OrderOfAWorkedExample)
{
    // Edges 0-1, 0-2, 1-3, 2-3, 3-4, 4-5, 1-8 and a separate pair 6-7.
    // Degrees: 0:2 1:3 2:2 3:3 4:2 5:1 6:1 7:1 8:1.
    // Start at the lowest-index vertex of smallest degree: 5.
    //   take 5 -> order 5;             unvisited neighbours {4}                  -> queue 4
    //   take 4 -> order 5 4;           {3}                                       -> queue 3
    //   take 3 -> order 5 4 3;         {1 (deg 3), 2 (deg 2)}, by degree: 2, 1   -> queue 2 1
    //   take 2 -> order 5 4 3 2;       {0}                                       -> queue 1 0
    //   take 1 -> order 5 4 3 2 1;     {8} (0 is already queued)                 -> queue 0 8
    //   take 0, take 8 -> order 5 4 3 2 1 0 8
    // Restart among {6, 7} (both degree 1): 6, then its neighbour 7 -> 5 4 3 2 1 0 8 6 7.
    // Reversed: 7 6 8 0 1 2 3 4 5.
    const Matrix p = symmetricPattern(9, {{0, 1}, {0, 2}, {1, 3}, {2, 3}, {3, 4}, {4, 5}, {1, 8}, {6, 7}});
    EXPECT_EQ(reverse_cuthill_mckee(p), (std::vector<int>{7, 6, 8, 0, 1, 2, 3, 4, 5}));
}

TEST(CircuitStructureRcm, TiesAndDegenerateSizes)
{
    // Star around 0 with leaves 1..4: start at leaf 1, then the hub, then leaves 2, 3, 4 (equal degrees keep
    // index order): 1 0 2 3 4, reversed 4 3 2 0 1. Entries of 1e-31 are not neighbours.
    Matrix star = symmetricPattern(5, {{0, 1}, {0, 2}, {0, 3}, {0, 4}});
    star(2, 4) = star(4, 2) = 1e-31;
    EXPECT_EQ(reverse_cuthill_mckee(star), (std::vector<int>{4, 3, 2, 0, 1}));
    // No edges at all: each index starts its own search in ascending order, then the order is reversed.
    EXPECT_EQ(reverse_cuthill_mckee(symmetricPattern(3, {})), (std::vector<int>{2, 1, 0}));
    EXPECT_TRUE(reverse_cuthill_mckee(Matrix(0, 0)).empty());
    EXPECT_EQ(reverse_cuthill_mckee(Matrix(1, 1)), std::vector<int>{0});
}

struct BandCase
{
    const char* what;
    std::function<void(Circuit&)> build;
    std::vector<int> order;
    int bandwidth;
    bool banded;
};

class CircuitStructureBand : public ::testing::TestWithParam<BandCase>
{
};

TEST_P(CircuitStructureBand, BandwidthRuleChoosesTheSolver)
{
    const BandCase& k = GetParam();
    Circuit c;
    k.build(c);
    c.prepare(48000.0);
    EXPECT_EQ(c.rcmOrder, k.order) << k.what;
    EXPECT_EQ(c.bandwidth, k.bandwidth) << k.what;
    EXPECT_EQ(c.useBanded, k.banded) << k.what;
}

void resistorsBetween(Circuit& c, int n, const std::vector<std::pair<int, int>>& pairs)
{
    for (int i = 1; i <= n; ++i)
        c.addNode("n" + std::to_string(i));
    for (const auto& p : pairs)
        c.add(std::make_unique<Resistor>("R", p.first, p.second, 1000.0));
}

INSTANTIATE_TEST_SUITE_P(
    Circuit, CircuitStructureBand,
    ::testing::Values(
        // Chain 1-2-3-4: RCM from the end 0 gives 0 1 2 3, reversed; half-bandwidth 1 < 0.7 * 4.
        BandCase{"chain",
                 [](Circuit& c) {
                     resistorsBetween(c, 4, {{1, 2}, {2, 3}, {3, 4}, {4, 0}});
                 },
                 {3, 2, 1, 0},
                 1,
                 true},
        // Triangle: order 0 1 2 reversed, bandwidth 2; 10 * 2 = 20 < 7 * 3 = 21.
        BandCase{"triangle",
                 [](Circuit& c) {
                     resistorsBetween(c, 3, {{1, 2}, {2, 3}, {1, 3}});
                 },
                 {2, 1, 0},
                 2,
                 true},
        // Complete graph on 4 nodes: bandwidth 3; 30 < 28 fails, dense solver.
        BandCase{"K4",
                 [](Circuit& c) {
                     resistorsBetween(c, 4, {{1, 2}, {1, 3}, {1, 4}, {2, 3}, {2, 4}, {3, 4}});
                 },
                 {3, 2, 1, 0},
                 3,
                 false},
        // Star hub 0 with leaves 1..4: order 4 3 2 0 1, hub at position 3, leaf 4 at position 0: bandwidth 3;
        // 30 < 35.
        BandCase{"star",
                 [](Circuit& c) {
                     resistorsBetween(c, 5, {{1, 2}, {1, 3}, {1, 4}, {1, 5}});
                 },
                 {4, 3, 2, 0, 1},
                 3,
                 true},
        // Source on node 1 with a load: node 0 and branch 1 couple, the branch diagonal is filled in.
        BandCase{"source",
                 [](Circuit& c)
                 {
                     c.addNode("a");
                     c.add(std::make_unique<VoltageSource>("V", 1, 0, 1.0));
                     c.add(std::make_unique<Resistor>("R", 1, 0, 1.0));
                 },
                 {1, 0},
                 1,
                 true},
        // A transistor couples its three terminals like a triangle; with the emitter resistor to a fourth
        // node the pattern is a triangle plus a tail: degrees 0:2 1:2 2:3 3:1; order 3 2 0 1 reversed.
        BandCase{"transistor",
                 [](Circuit& c)
                 {
                     resistorsBetween(c, 4, {{3, 4}, {4, 0}});
                     c.add(std::make_unique<NPN_BJT>("Q", 1, 2, 3, 1e-15, 300, 1, 80));
                 },
                 {1, 0, 2, 3},
                 2,
                 true}));

//==============================================================================================================
// Nonlinear entries

struct EntriesCase
{
    const char* what;
    int base, collector, emitter;
    std::vector<std::pair<int, int>> entries;
};

class CircuitStructureNonlinear : public ::testing::TestWithParam<EntriesCase>
{
};

TEST_P(CircuitStructureNonlinear, EntriesAreTheTransistorsRowsAndColumnsInRowMajorOrder)
{
    const EntriesCase& k = GetParam();
    Circuit c;
    c.addNode("a");
    c.addNode("b");
    c.addNode("c");
    c.add(std::make_unique<VoltageSource>("V", 1, 0, 1.0)); // a branch after the nodes changes nothing
    c.add(std::make_unique<PNP_BJT>("Q", k.base, k.collector, k.emitter, 1e-15, 300, 1, 80));
    c.prepare(48000.0);
    EXPECT_EQ(c.nonlinearEntries, k.entries) << k.what;
    EXPECT_TRUE(c.hasNonlinear);
}

INSTANTIATE_TEST_SUITE_P(
    Circuit, CircuitStructureNonlinear,
    ::testing::Values(
        EntriesCase{
            "three nodes", 1, 2, 3, {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}, {2, 0}, {2, 1}, {2, 2}}},
        EntriesCase{"emitter grounded", 2, 3, 0, {{1, 1}, {1, 2}, {2, 1}, {2, 2}}},
        EntriesCase{"diode connected", 1, 1, 3, {{0, 0}, {0, 2}, {2, 0}, {2, 2}}},
        EntriesCase{"collector on an unknown node", 3, 8, 1, {{0, 0}, {0, 2}, {2, 0}, {2, 2}}},
        EntriesCase{"all grounded", 0, 0, 0, {}}));

} // namespace
