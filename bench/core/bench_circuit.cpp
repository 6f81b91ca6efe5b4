// Simulator step throughput on the two netlists the curve bakes run: the NE5534-style follower and the VCA
// gain cell. One item is one Circuit::step.

#include "circuit/Circuit.h"
#include "circuit/NE5534Curve.h"
#include "circuit/PccnVca.h"

#include <benchmark/benchmark.h>


namespace
{

using namespace pccn;

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
    omvipccn::buildNE5534Follower(c, 19.0);
    c.prepare(48000.0);
    c.dcOperatingPoint_();
    for (int i = 0; i < 5000; ++i)
        c.step();
    runSweep(state, c, c.findComponent("Vsig"), 24.0, 120000);
}
BENCHMARK(BM_CircuitStep_OpAmp);

void BM_CircuitStep_Vca(benchmark::State& state)
{
    omvipccn::PccnVca stage;
    stage.build(48000.0); // prepared and at its operating point
    Circuit& c = stage.circuit;
    for (int i = 0; i < 3840; ++i)
        c.step();
    // Full-scale 8 at the 24 dB drive of 2.44, 0.0009 V per unit.
    runSweep(state, c, c.findComponent("Vsig"), 8.0 * 0.0009 * 2.44, 60000);
}
BENCHMARK(BM_CircuitStep_Vca);

} // namespace
