#include "circuit/NE5534Curve.h"
#include "circuit/PccnIron.h"
#include "circuit/PccnOpAmpBaked.h"
#include "circuit/VcaCurve.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <future>
#include <vector>

namespace
{

using omvipccn::NE5534Curve;
using omvipccn::VcaCurve;

// Registered first so that it sees the process's real first prepare: all three shared curves baked through
// the parallel entry point, nothing cached yet.
void BM_FirstPrepareBakesAllCurves(benchmark::State& state)
{
    for (auto _ : state)
        omvipccn::bakeSharedCurves();
}
BENCHMARK(BM_FirstPrepareBakesAllCurves)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Every later prepare: the curves are ready.
void BM_LaterPrepareBakeCall(benchmark::State& state)
{
    for (auto _ : state)
        omvipccn::bakeSharedCurves();
}
BENCHMARK(BM_LaterPrepareBakeCall);

void BM_BakeOpAmp19(benchmark::State& state)
{
    for (auto _ : state)
    {
        NE5534Curve c;
        c.bake(19.0);
        benchmark::DoNotOptimize(c.integral.back());
    }
}
BENCHMARK(BM_BakeOpAmp19)->Iterations(2)->Unit(benchmark::kMillisecond);

void BM_BakeOpAmp16(benchmark::State& state)
{
    for (auto _ : state)
    {
        NE5534Curve c;
        c.bake(16.0);
        benchmark::DoNotOptimize(c.integral.back());
    }
}
BENCHMARK(BM_BakeOpAmp16)->Iterations(2)->Unit(benchmark::kMillisecond);

void BM_BakeVcaFamily(benchmark::State& state)
{
    for (auto _ : state)
    {
        VcaCurve c;
        c.bake();
        benchmark::DoNotOptimize(c.integral[5].back());
    }
}
BENCHMARK(BM_BakeVcaFamily)->Iterations(2)->Unit(benchmark::kMillisecond);

// The three bakes side by side on private objects, as the first prepare runs them (repeatable, unlike the
// one-time shared bake above).
void BM_BakeAllThreeInParallel(benchmark::State& state)
{
    for (auto _ : state)
    {
        NE5534Curve c19;
        NE5534Curve c16;
        VcaCurve vca;
        auto a = std::async(std::launch::async, [&] { vca.bake(); });
        auto b = std::async(std::launch::async, [&] { c16.bake(16.0); });
        c19.bake(19.0);
        b.get();
        a.get();
        benchmark::DoNotOptimize(vca.integral[5].back());
    }
}
BENCHMARK(BM_BakeAllThreeInParallel)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

std::vector<float> testSignal(double amplitude, double hz, double fs, int n)
{
    std::vector<float> s(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        s[static_cast<std::size_t>(i)] =
            static_cast<float>(amplitude * std::sin(6.283185307179586 * hz * i / fs));
    return s;
}

// Per-sample cost of an amplifier stage on a signal that crosses the curve's bends (4 full scale ~ 13.9 V).
void BM_OpAmpProcessSample(benchmark::State& state)
{
    omvipccn::PccnOpAmpBaked stage;
    stage.configure(omvipccn::sharedNE5534Curve(19.0), 48000.0, true);
    const std::vector<float> in = testSignal(4.0, 997.0, 48000.0, 4096);
    for (auto _ : state)
    {
        float acc = 0.0f;
        for (const float x : in)
            acc += stage.processSample(x);
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(in.size()));
}
BENCHMARK(BM_OpAmpProcessSample);

void BM_IronStep(benchmark::State& state)
{
    omvipccn::PccnIron iron;
    iron.prepare(48000.0);
    const std::vector<float> in = testSignal(2.0, 61.0, 48000.0, 4096);
    for (auto _ : state)
    {
        float acc = 0.0f;
        for (const float x : in)
            acc += iron.step(x);
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(in.size()));
}
BENCHMARK(BM_IronStep);

// The VCA colouration per sample as the channel strip plays it: two breakpoint tables blended, first-order
// antiderivative anti-aliasing (four integral lookups), 12 dB of reduction.
void BM_VcaLookupPerSample(benchmark::State& state)
{
    const VcaCurve& c = omvipccn::sharedVcaCurve();
    const std::vector<float> in = testSignal(0.9, 997.0, 48000.0, 4096);
    const int k = 2;
    const double v = 0.4;
    double prev = 0.0;
    for (auto _ : state)
    {
        double acc = 0.0;
        for (const float x : in)
        {
            const double h = std::clamp(static_cast<double>(x), -c.range, c.range);
            const auto blend = [&](const auto& tables, double at)
            {
                const double lower = c.lk(tables[k], at);
                return lower + v * (c.lk(tables[k + 1], at) - lower);
            };
            const double e = std::fabs(h - prev) > 1e-4
                                 ? (blend(c.integral, h) - blend(c.integral, prev)) / (h - prev)
                                 : blend(c.deviation, 0.5 * (prev + h));
            prev = h;
            acc += x + e;
        }
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(in.size()));
}
BENCHMARK(BM_VcaLookupPerSample);

} // namespace
