// Netlists and call sequences a builder should not produce, handled without reading or writing outside the
// simulator's storage: empty circuits, unknown node numbers, degenerate element values, floating nodes,
// calls out of order and result vectors resized by the caller.

#include "circuit/Circuit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

using namespace pccn;

namespace
{

bool sameBits(const Vector& a, const Vector& b)
{
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

TEST(CircuitBadInput, EmptyCircuit)
{
    Circuit c;
    c.prepare(48000.0);
    EXPECT_EQ(c.numVariables(), 0);
    EXPECT_TRUE(c.dcOperatingPoint_()); // nothing to move: converged at once
    c.step();
    c.step();
    EXPECT_TRUE(c.x.empty());
    EXPECT_NEAR(c.time, 2.0 / 48000.0, 1e-18);
    EXPECT_EQ(c.nodeVoltage(1), 0.0);
    EXPECT_FALSE(c.useBanded); // 10 * 0 < 7 * 0 fails
}

TEST(CircuitBadInput, CallsBeforePrepareOrAfterAChangedNetlistDoNothing)
{
    Circuit c;
    const int a = c.addNode("a");
    c.add(std::make_unique<VoltageSource>("V", a, 0, 2.0));
    c.add(std::make_unique<Resistor>("R", a, 0, 100.0));
    c.step(); // never prepared
    EXPECT_FALSE(c.dcOperatingPoint_());
    EXPECT_TRUE(c.x.empty());
    EXPECT_EQ(c.time, 0.0);

    c.prepare(48000.0);
    c.step();
    EXPECT_NEAR(c.x[0], 2.0, 1e-12);

    // Adding after prepare: the prepared sizes no longer describe the netlist.
    c.add(std::make_unique<VoltageSource>("V2", c.addNode("b"), 0, 1.0));
    const Vector before = c.x;
    const double timeBefore = c.time;
    c.step();
    EXPECT_FALSE(c.dcOperatingPoint_());
    EXPECT_EQ(c.x, before);
    EXPECT_EQ(c.time, timeBefore);

    c.prepare(48000.0); // and everything works again
    c.step();
    ASSERT_EQ(c.x.size(), 4u);
    EXPECT_NEAR(c.x[1], 1.0, 1e-12);
}

TEST(CircuitBadInput, UnknownNodeNumbersBehaveLikeGround)
{
    // The same emitter-follower netlist once with node numbers that were never added and once with ground
    // written out: identical results, and the variable layout stays the one addNode and add defined.
    auto build = [](Circuit& c, int unknown, int negative)
    {
        const int a = c.addNode("a"), b = c.addNode("b"), e = c.addNode("e");
        c.add(std::make_unique<VoltageSource>("Va", a, unknown, 5.0));
        c.add(std::make_unique<Resistor>("Rb", a, b, 100e3));
        c.add(std::make_unique<NPN_BJT>("Q1", b, a, e, 1e-15, 300, 1, 80));
        c.add(std::make_unique<Resistor>("Re", e, negative, 1000.0));
        c.add(std::make_unique<Capacitor>("Cx", unknown, b, 1e-9));
        c.add(std::make_unique<Resistor>("Rx", b, unknown, 1e6));
        c.add(std::make_unique<NPN_BJT>("Q2", unknown, e, negative, 1e-15, 300, 1, 80));
        c.prepare(48000.0);
    };
    Circuit odd, plain;
    build(odd, 17, -3);
    build(plain, 0, 0);
    ASSERT_EQ(odd.numVariables(), 4);
    EXPECT_EQ(odd.nonlinearEntries, plain.nonlinearEntries);
    EXPECT_EQ(odd.G.data, plain.G.data);
    EXPECT_EQ(odd.C.data, plain.C.data);
    EXPECT_TRUE(odd.dcOperatingPoint_());
    EXPECT_TRUE(plain.dcOperatingPoint_());
    for (int i = 0; i < 50; ++i)
    {
        odd.step();
        plain.step();
    }
    EXPECT_TRUE(sameBits(odd.x, plain.x));
    // Roughly 1 k * (5 - 0.65) / (100 k / 301 + 1 k) = 3.3 V on the emitter, less what Rx draws.
    EXPECT_GT(odd.x[2], 2.5);
    EXPECT_LT(odd.x[2], 3.5);
    EXPECT_EQ(odd.nodeVoltage(17), 0.0);
}

TEST(CircuitBadInput, FloatingNodeInANonlinearCircuitStaysAtZero)
{
    Circuit c;
    const int a = c.addNode("a");
    const int floating = c.addNode("floating");
    c.addNode("also floating");
    c.add(std::make_unique<VoltageSource>("V", a, 0, 0.6));
    c.add(std::make_unique<NPN_BJT>("Q", a, a, 0, 1e-15, 300, 1, 80));
    c.prepare(48000.0);
    EXPECT_EQ(c.zeroDiagonal, (std::vector<int>{1, 2, 3}));
    // The DC matrix carries no regularisation: the floating rows are empty, the factorisation stops at the
    // first of them and the retry factors what the failed attempt left (rows already swapped), so the
    // iteration never settles. The failure is reported and x is left alone.
    EXPECT_FALSE(c.dcOperatingPoint_());
    EXPECT_EQ(c.x, Vector(4, 0.0));
    for (int i = 0; i < 10; ++i)
        c.step();
    EXPECT_EQ(c.nodeVoltage(floating), 0.0);
    EXPECT_NEAR(c.nodeVoltage(a), 0.6, 1e-9);
    for (double v : c.x)
        EXPECT_TRUE(std::isfinite(v));
}

struct DegenerateCase
{
    const char* what;
    std::function<void(Circuit&)> build;
    double sampleRate;
};

class CircuitBadInputDegenerate : public ::testing::TestWithParam<DegenerateCase>
{
};

// Degenerate values run through prepare, the DC iteration and steps without touching foreign memory
// (checked under the address and undefined-behaviour sanitisers) and give repeatable results.
TEST_P(CircuitBadInputDegenerate, RunsAndRepeats)
{
    const DegenerateCase& k = GetParam();
    Circuit first, second;
    for (Circuit* c : {&first, &second})
    {
        k.build(*c);
        c->prepare(k.sampleRate);
        c->dcOperatingPoint_();
        for (auto& v : c->inputs)
            v = 0.5;
        for (int i = 0; i < 20; ++i)
            c->step();
    }
    EXPECT_EQ(first.x.size(), static_cast<std::size_t>(first.numVariables())) << k.what;
    EXPECT_TRUE(sameBits(first.x, second.x)) << k.what;
}

void divider(Circuit& c, double rTop, double rBottom, bool nonlinear)
{
    const int in = c.addNode("in"), mid = c.addNode("mid");
    c.add(std::make_unique<VoltageSource>("V", in, 0, 1.0));
    c.add(std::make_unique<Resistor>("Rt", in, mid, rTop));
    c.add(std::make_unique<Resistor>("Rb", mid, 0, rBottom));
    if (nonlinear)
        c.add(std::make_unique<NPN_BJT>("Q", mid, in, 0, 1e-15, 300, 1, 80));
}

INSTANTIATE_TEST_SUITE_P(
    Circuit, CircuitBadInputDegenerate,
    ::testing::Values(
        DegenerateCase{"zero resistance", [](Circuit& c) { divider(c, 0.0, 1000.0, false); }, 48000.0},
        DegenerateCase{"zero resistance, nonlinear", [](Circuit& c) { divider(c, 1000.0, 0.0, true); },
                       48000.0},
        DegenerateCase{"negative resistance, nonlinear", [](Circuit& c) { divider(c, -1000.0, 500.0, true); },
                       48000.0},
        DegenerateCase{"floating node, linear",
                       [](Circuit& c)
                       {
                           divider(c, 1000.0, 1000.0, false);
                           c.addNode("floating");
                       },
                       48000.0},
        DegenerateCase{"parallel sources",
                       [](Circuit& c)
                       {
                           const int a = c.addNode("a");
                           c.add(std::make_unique<VoltageSource>("V1", a, 0, 1.0));
                           c.add(std::make_unique<VoltageSource>("V2", a, 0, 2.0));
                           c.add(std::make_unique<PNP_BJT>("Q", 0, a, 0, 1e-15, 300, 1, 80));
                       },
                       48000.0},
        DegenerateCase{"source with both terminals grounded",
                       [](Circuit& c) { c.add(std::make_unique<VoltageSource>("V", 0, 0, 1.0)); }, 48000.0},
        DegenerateCase{"zero sample rate",
                       [](Circuit& c)
                       {
                           divider(c, 1000.0, 1000.0, true);
                           c.add(std::make_unique<Capacitor>("C", 2, 0, 1e-6));
                       },
                       0.0},
        DegenerateCase{"negative capacitance",
                       [](Circuit& c)
                       {
                           divider(c, 1000.0, 1000.0, true);
                           c.add(std::make_unique<Capacitor>("C", 2, 0, -1e-6));
                       },
                       -48000.0}));

TEST(CircuitBadInput, ResizedInputsAndResultsAreTolerated)
{
    auto build = [](Circuit& c)
    {
        const int a = c.addNode("a"), b = c.addNode("b");
        c.add(std::make_unique<VoltageSource>("V", a, 0, 1.0));
        c.add(std::make_unique<Resistor>("R", a, b, 1000.0));
        c.add(std::make_unique<NPN_BJT>("Q", b, a, 0, 1e-15, 300, 1, 80));
        c.prepare(48000.0);
    };
    Circuit c, reference;
    build(c);
    build(reference);
    c.inputs.clear(); // missing inputs count as 0
    c.x.resize(1);    // the solution vector is restored to its prepared size
    for (int i = 0; i < 10; ++i)
    {
        c.step();
        reference.step();
    }
    ASSERT_EQ(c.x.size(), 3u);
    EXPECT_TRUE(sameBits(c.x, reference.x));
}

} // namespace
