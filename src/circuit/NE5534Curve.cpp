#include "circuit/NE5534Curve.h"

#include "circuit/Circuit.h"
#include "circuit/Components.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>

namespace omvipccn
{

namespace
{

constexpr int kSettleSteps = 5000;

// Transistor parameters shared by every device of the op-amp.
constexpr double kIs = 1e-15;
constexpr int kBetaF = 300;
constexpr int kBetaR = 1;
constexpr int kVaf = 80;

std::atomic<int> bakes19{0};
std::atomic<int> bakes16{0};

} // namespace

// The follower: a long-tailed NPN input pair (Q1/Q2) with emitter degeneration, a PNP current-mirror load
// (Q3 diode-connected, Q4), a PNP common-emitter second stage (Q5) with a resistive pull-down and Miller
// compensation, a 100 k load, and the output fed straight back to the inverting base (Q1).
void buildNE5534Follower(pccn::Circuit& c, double rail)
{
    const int vp = c.addNode("vp");
    const int vn = c.addNode("vn");
    const int inp = c.addNode("inp");
    const int c1 = c.addNode("c1");
    const int o1 = c.addNode("o1");
    const int out = c.addNode("out");
    const int tail = c.addNode("tail");
    const int e1 = c.addNode("e1");
    const int e2 = c.addNode("e2");

    c.add(std::make_unique<pccn::VoltageSource>("Vp", vp, 0, rail));
    c.add(std::make_unique<pccn::VoltageSource>("Vn", vn, 0, -rail));
    c.add(std::make_unique<pccn::VoltageSource>("Vsig", inp, 0, 0.0));
    c.add(std::make_unique<pccn::NPN_BJT>("Q1", out, c1, e1, kIs, kBetaF, kBetaR, kVaf));
    c.add(std::make_unique<pccn::Resistor>("Re1", e1, tail, 220.0));
    c.add(std::make_unique<pccn::NPN_BJT>("Q2", inp, o1, e2, kIs, kBetaF, kBetaR, kVaf));
    c.add(std::make_unique<pccn::Resistor>("Re2", e2, tail, 220.0));
    c.add(std::make_unique<pccn::Resistor>("Rtail", tail, vn, 9000.0));
    c.add(std::make_unique<pccn::PNP_BJT>("Q3", c1, c1, vp, kIs, kBetaF, kBetaR, kVaf));
    c.add(std::make_unique<pccn::PNP_BJT>("Q4", c1, o1, vp, kIs, kBetaF, kBetaR, kVaf));
    c.add(std::make_unique<pccn::PNP_BJT>("Q5", o1, out, vp, kIs, kBetaF, kBetaR, kVaf));
    c.add(std::make_unique<pccn::Resistor>("Rc2", out, vn, 15000.0));
    c.add(std::make_unique<pccn::Capacitor>("Cmil", out, o1, 3e-11));
    c.add(std::make_unique<pccn::Resistor>("Rload", out, 0, 100000.0));
}

void NE5534Curve::bake(double rail)
{
    pccn::Circuit circuit;
    buildNE5534Follower(circuit, rail);
    circuit.prepare(48000.0);
    circuit.dcOperatingPoint_(); // a starting point only; the settling steps below do the rest

    const int source = circuit.findComponent("Vsig");
    const int outNode = circuit.findNode("out");
    const bool sourceValid = source >= 0 && source < static_cast<int>(circuit.inputs.size());

    delta = range * 2.0 / (tableSize - 1);

    std::vector<double> sums(tableSize, 0.0);
    std::vector<std::int64_t> counts(tableSize, 0);

    const auto setInput = [&](double v)
    {
        if (sourceValid)
            circuit.inputs[static_cast<std::size_t>(source)] = v;
    };

    setInput(0.0);
    for (int i = 0; i < kSettleSteps; ++i)
        circuit.step();

    const double limit = rail + 1.0;
    const auto sweep = [&](double a, double b, int n)
    {
        for (int i = 0; i < n; ++i)
        {
            const double vin = a + i * (b - a) / n;
            setInput(vin);
            circuit.step();

            const double bin = std::trunc((vin + range) / delta);
            if (!(bin >= 0.0 && bin <= tableSize - 1))
                continue;
            const double vout = circuit.nodeVoltage(outNode); // 0 V if there is no such node
            if (!std::isfinite(vout) || std::fabs(vout) >= limit)
                continue;
            const auto k = static_cast<std::size_t>(bin);
            sums[k] += vout;
            counts[k] += 1;
        }
    };
    sweep(0.0, range, 60000);
    sweep(range, -range, 120000);
    sweep(-range, range, 120000);
    sweep(range, 0.0, 60000);

    // Average each bin; empty bins repeat the last filled bin below them (the negative rail below the first).
    std::vector<double> out(tableSize);
    double carried = -rail;
    for (int k = 0; k < tableSize; ++k)
    {
        if (counts[k] > 0)
            carried = sums[k] / static_cast<double>(counts[k]);
        out[k] = carried;
    }
    // The follower's static curve cannot fall: remove any dip the sweep dynamics left behind.
    for (int k = 1; k < tableSize; ++k)
        if (out[k - 1] > out[k])
            out[k] = out[k - 1];

    deviation.assign(tableSize, 0.0);
    for (int k = 0; k < tableSize; ++k)
        deviation[k] = out[k] - (k * delta - range);

    curvetable::finish(deviation, integral, range, delta);

    baked = true;
}

namespace
{
NE5534Curve bakedCurve(double rail, std::atomic<int>& bakes)
{
    NE5534Curve curve;
    curve.bake(rail);
    bakes.fetch_add(1);
    return curve;
}
} // namespace

const NE5534Curve& sharedNE5534Curve(double rail)
{
    if (rail > 17.5)
    {
        static const NE5534Curve curve19 = bakedCurve(19.0, bakes19);
        return curve19;
    }
    static const NE5534Curve curve16 = bakedCurve(16.0, bakes16);
    return curve16;
}

int sharedNE5534BakeCount(double rail)
{
    return rail > 17.5 ? bakes19.load() : bakes16.load();
}

} // namespace omvipccn
