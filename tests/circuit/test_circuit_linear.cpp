// Linear netlists against closed forms: divider, backward-Euler RC step response, voltage-source branch
// currents, the DC iteration on a linear circuit, and the netlist bookkeeping (nodes, names, branches).

#include "circuit/Circuit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using namespace pccn;

namespace
{

struct DividerCase
{
    double volts, rTop, rBottom;
};

class CircuitLinearDivider : public ::testing::TestWithParam<DividerCase>
{
};

TEST_P(CircuitLinearDivider, StepAndDcMatchTheDividerRule)
{
    const DividerCase p = GetParam();
    Circuit c;
    const int in = c.addNode("in");
    const int mid = c.addNode("mid");
    c.add(std::make_unique<VoltageSource>("V1", in, 0, p.volts));
    c.add(std::make_unique<Resistor>("Rtop", in, mid, p.rTop));
    c.add(std::make_unique<Resistor>("Rbottom", mid, 0, p.rBottom));
    c.prepare(48000.0);
    ASSERT_EQ(c.numVariables(), 3);

    const double vMid = p.volts * p.rBottom / (p.rTop + p.rBottom);
    // Current flows out of the source's positive terminal into the divider, so the branch current (into
    // the source at its positive node) is negative.
    const double iSource = -p.volts / (p.rTop + p.rBottom);
    const double tol = 1e-12 * std::abs(p.volts);

    c.step();
    EXPECT_NEAR(c.nodeVoltage(in), p.volts, tol);
    EXPECT_NEAR(c.nodeVoltage(mid), vMid, tol);
    EXPECT_NEAR(c.x[2], iSource, 1e-12 * std::abs(iSource));

    // The DC iteration converges on a purely linear circuit too (in steps of at most 0.5).
    Circuit d;
    d.addNode("in");
    d.addNode("mid");
    d.add(std::make_unique<VoltageSource>("V1", 1, 0, p.volts));
    d.add(std::make_unique<Resistor>("Rtop", 1, 2, p.rTop));
    d.add(std::make_unique<Resistor>("Rbottom", 2, 0, p.rBottom));
    d.prepare(48000.0);
    EXPECT_TRUE(d.dcOperatingPoint_());
    EXPECT_NEAR(d.x[0], p.volts, 1e-9 * std::abs(p.volts));
    EXPECT_NEAR(d.x[1], vMid, 1e-9 * std::abs(p.volts));
    EXPECT_NEAR(d.x[2], iSource, 1e-9 * std::abs(iSource));
}

INSTANTIATE_TEST_SUITE_P(Circuit, CircuitLinearDivider,
                         ::testing::Values(DividerCase{10.0, 1000.0, 3000.0}, DividerCase{-4.0, 47.0, 100e3},
                                           DividerCase{1.5, 1e6, 1e6}, DividerCase{24.0, 0.5, 2.0},
                                           // A negative resistance is just another conductance.
                                           DividerCase{10.0, -1000.0, 3000.0}));

struct RcCase
{
    double volts, r, cap, fs;
};

class CircuitLinearRc : public ::testing::TestWithParam<RcCase>
{
};

// Backward Euler on C dv/dt = (V - v)/R gives v_n (1 + a) = v_{n-1} + a V with a = dt/(RC), i.e.
// v_n = V (1 - (1/(1+a))^n) from v_0 = 0.
TEST_P(CircuitLinearRc, StepResponseIsTheBackwardEulerClosedForm)
{
    const RcCase p = GetParam();
    Circuit c;
    const int in = c.addNode("in");
    const int out = c.addNode("out");
    c.add(std::make_unique<VoltageSource>("Vsig", in, 0, 0.0));
    c.add(std::make_unique<Resistor>("R", in, out, p.r));
    c.add(std::make_unique<Capacitor>("C", out, 0, p.cap));
    c.prepare(p.fs);
    const int src = c.findComponent("Vsig");
    ASSERT_EQ(src, 0);
    c.inputs[static_cast<std::size_t>(src)] = p.volts; // the source is driven through its input value

    const double a = (1.0 / p.fs) / (p.r * p.cap);
    for (int n = 1; n <= 400; ++n)
    {
        c.step();
        const double expected = p.volts * (1.0 - std::pow(1.0 / (1.0 + a), n));
        ASSERT_NEAR(c.nodeVoltage(out), expected, 1e-11 * std::abs(p.volts)) << "step " << n;
        ASSERT_NEAR(c.nodeVoltage(in), p.volts, 1e-12 * std::abs(p.volts));
    }
    EXPECT_NEAR(c.time, 400.0 / p.fs, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Circuit, CircuitLinearRc,
                         ::testing::Values(RcCase{1.0, 1000.0, 1e-6, 48000.0},
                                           RcCase{-5.0, 10e3, 10e-9, 96000.0},
                                           RcCase{2.5, 100.0, 1e-3, 44100.0}));

struct SourceCase
{
    const char* what;
    double va, vb, r; // source A drives node a, source B drives node b, R between a and b
    double iA, iB;    // expected branch currents, worked out by hand
};

class CircuitLinearSourceCurrent : public ::testing::TestWithParam<SourceCase>
{
};

TEST_P(CircuitLinearSourceCurrent, BranchCurrentFlowsIntoThePositiveNode)
{
    const SourceCase p = GetParam();
    Circuit c;
    const int a = c.addNode("a");
    const int bnode = c.addNode("b");
    c.add(std::make_unique<VoltageSource>("VA", a, 0, p.va));
    c.add(std::make_unique<Resistor>("R", a, bnode, p.r));
    c.add(std::make_unique<VoltageSource>("VB", bnode, 0, p.vb));
    c.prepare(48000.0);
    c.step();
    EXPECT_NEAR(c.x[2], p.iA, 1e-12) << p.what;
    EXPECT_NEAR(c.x[3], p.iB, 1e-12) << p.what;
}

INSTANTIATE_TEST_SUITE_P(
    Circuit, CircuitLinearSourceCurrent,
    ::testing::Values(
        // 6 V across 1 k: 6 mA leave A's positive terminal (-6 mA into it) and enter B's (+6 mA).
        SourceCase{"A above B", 10.0, 4.0, 1000.0, -6e-3, 6e-3},
        SourceCase{"B above A", -2.0, 3.0, 500.0, 10e-3, -10e-3},
        SourceCase{"equal", 5.0, 5.0, 100.0, 0.0, 0.0}));

TEST(CircuitLinearSourceCurrent, ReversedSourceDrivesItsNegativeNode)
{
    // Positive terminal on ground: node n sits at -V and the load current leaves the positive terminal.
    Circuit c;
    const int n = c.addNode("n");
    c.add(std::make_unique<VoltageSource>("V", 0, n, 3.0));
    c.add(std::make_unique<Resistor>("R", n, 0, 1500.0));
    c.prepare(48000.0);
    c.step();
    EXPECT_NEAR(c.nodeVoltage(n), -3.0, 1e-12);
    EXPECT_NEAR(c.x[1], -2e-3, 1e-15);
}

TEST(CircuitNetlist, FindNodeTreatsGroundNamesAndUnknownNamesAsZero)
{
    Circuit c;
    EXPECT_EQ(c.addNode("out"), 1);
    EXPECT_EQ(c.addNode("Out"), 2); // byte-wise names
    EXPECT_EQ(c.addNode("out"), 1);
    EXPECT_EQ(c.addNode("gnd"), 3); // "gnd" is an ordinary name for addNode ...
    const struct
    {
        const char* name;
        int node;
    } cases[] = {{"gnd", 0}, {"0", 0}, {"nowhere", 0}, {"", 0}, {"out", 1}, {"Out", 2}};
    for (const auto& k : cases)
        EXPECT_EQ(c.findNode(k.name), k.node) << k.name; // ... but findNode maps it to ground
}

TEST(CircuitNetlist, FindComponentReturnsTheFirstMatch)
{
    Circuit c;
    c.addNode("a");
    c.add(std::make_unique<Resistor>("R", 1, 0, 1.0));
    c.add(std::make_unique<Capacitor>("C", 1, 0, 1.0));
    c.add(std::make_unique<Resistor>("R", 1, 0, 2.0));
    EXPECT_EQ(c.findComponent("R"), 0);
    EXPECT_EQ(c.findComponent("C"), 1);
    EXPECT_EQ(c.findComponent("r"), -1);
    EXPECT_EQ(c.findComponent(""), -1);
}

// A component with a configurable number of branch variables.
class BranchOwner : public Component
{
public:
    explicit BranchOwner(int n) : Component("B" + std::to_string(n), 0, 0), count(n) {}
    int numBranches() const override { return count; }
    int count;
};

TEST(CircuitNetlist, AddAssignsBranchesInOrder)
{
    Circuit c;
    auto owned = [&](std::unique_ptr<Component> p)
    {
        Component* raw = p.get();
        c.add(std::move(p));
        return raw;
    };
    Component* v1 = owned(std::make_unique<VoltageSource>("V1", 0, 0, 1.0));
    Component* two = owned(std::make_unique<BranchOwner>(2));
    Component* r = owned(std::make_unique<Resistor>("R", 0, 0, 1.0));
    Component* three = owned(std::make_unique<BranchOwner>(3)); // unsupported count: nothing assigned
    Component* v2 = owned(std::make_unique<VoltageSource>("V2", 0, 0, 1.0));
    c.add(nullptr); // ignored

    const struct
    {
        Component* comp;
        int branch, branch2;
    } expected[] = {{v1, 0, -1}, {two, 1, 2}, {r, -1, -1}, {three, -1, -1}, {v2, 3, -1}};
    for (const auto& e : expected)
    {
        EXPECT_EQ(e.comp->branch, e.branch) << e.comp->name;
        EXPECT_EQ(e.comp->branch2, e.branch2) << e.comp->name;
    }
    EXPECT_EQ(c.branchCount, 4);
    EXPECT_EQ(c.components.size(), 5u);
}

} // namespace
