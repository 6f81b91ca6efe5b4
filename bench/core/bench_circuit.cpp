// Simulator step throughput on the two netlists the curve bakes run: the NE5534-style follower and the VCA
// gain cell. One item is one Circuit::step.

#include "circuit/Circuit.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace
{

using namespace pccn;

// Unity-gain follower on +-rail: long-tailed NPN pair with emitter degeneration, PNP mirror load, PNP second
// stage with resistive pull-down and Miller capacitor, 100 k load. 9 nodes, 3 branches.
void buildFollower(Circuit& c, double rail)
{
    const int vp = c.addNode("vp"), vn = c.addNode("vn"), inp = c.addNode("inp"), c1 = c.addNode("c1");
    const int o1 = c.addNode("o1"), out = c.addNode("out"), tail = c.addNode("tail");
    const int e1 = c.addNode("e1"), e2 = c.addNode("e2");
    c.add(std::make_unique<VoltageSource>("Vp", vp, 0, rail));
    c.add(std::make_unique<VoltageSource>("Vn", vn, 0, -rail));
    c.add(std::make_unique<VoltageSource>("Vsig", inp, 0, 0.0));
    c.add(std::make_unique<NPN_BJT>("Q1", out, c1, e1, 1e-15, 300, 1, 80));
    c.add(std::make_unique<Resistor>("Re1", e1, tail, 220.0));
    c.add(std::make_unique<NPN_BJT>("Q2", inp, o1, e2, 1e-15, 300, 1, 80));
    c.add(std::make_unique<Resistor>("Re2", e2, tail, 220.0));
    c.add(std::make_unique<Resistor>("Rtail", tail, vn, 9000.0));
    c.add(std::make_unique<PNP_BJT>("Q3", c1, c1, vp, 1e-15, 300, 1, 80));
    c.add(std::make_unique<PNP_BJT>("Q4", c1, o1, vp, 1e-15, 300, 1, 80));
    c.add(std::make_unique<PNP_BJT>("Q5", o1, out, vp, 1e-15, 300, 1, 80));
    c.add(std::make_unique<Resistor>("Rc2", out, vn, 15000.0));
    c.add(std::make_unique<Capacitor>("Cmil", out, o1, 3e-11));
    c.add(std::make_unique<Resistor>("Rload", out, 0, 100000.0));
}

// Bipolar differential pair on +-15 V, input on Q1's base, Q2's base grounded. 6 nodes, 3 branches.
void buildVcaCell(Circuit& c)
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
    c.add(std::make_unique<NPN_BJT>("Q1", in, c1, tail, 1e-15, 400, 1, 110));
    c.add(std::make_unique<NPN_BJT>("Q2", 0, c2, tail, 1.02e-15, 400, 1, 110));
}

// Drives component `source` with a triangle between -peak and +peak, `rampSteps` steps per ramp, as the
// bakes' slow sweeps do.
void runSweep(benchmark::State& state, Circuit& c, int source, double peak, int rampSteps)
{
    const double increment = 2.0 * peak / rampSteps;
    double v = 0.0;
    double direction = 1.0;
    for (auto _ : state)
    {
        v += direction * increment;
        if (v > peak || v < -peak)
        {
            direction = -direction;
            v += 2.0 * direction * increment;
        }
        c.inputs[static_cast<std::size_t>(source)] = v;
        c.step();
        benchmark::DoNotOptimize(c.x.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_CircuitStep_OpAmp(benchmark::State& state)
{
    Circuit c;
    buildFollower(c, 19.0);
    c.prepare(48000.0);
    c.dcOperatingPoint_();
    for (int i = 0; i < 5000; ++i)
        c.step();
    runSweep(state, c, c.findComponent("Vsig"), 24.0, 120000);
}
BENCHMARK(BM_CircuitStep_OpAmp);

void BM_CircuitStep_Vca(benchmark::State& state)
{
    Circuit c;
    buildVcaCell(c);
    c.prepare(48000.0);
    c.dcOperatingPoint_();
    for (int i = 0; i < 3840; ++i)
        c.step();
    // Full-scale 8 at the 24 dB drive of 2.44, 0.0009 V per unit.
    runSweep(state, c, c.findComponent("Vsig"), 8.0 * 0.0009 * 2.44, 60000);
}
BENCHMARK(BM_CircuitStep_Vca);

} // namespace
