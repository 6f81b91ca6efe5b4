#include "dsp/TzEq.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

namespace
{
// All four bands working: LF shelf, two mid bells and an HF bell.
void setAllBands(omvitz::TzEq& eq)
{
    eq.bands[0] = {0, 100.0f, 6.0f, 0.71f};
    eq.bands[1] = {1, 580.0f, -4.0f, 1.5f};
    eq.bands[2] = {1, 3600.0f, 9.0f, 2.0f};
    eq.bands[3] = {1, 12000.0f, -3.0f, 2.0f};
    for (int band = 0; band < 4; ++band)
        eq.recomputeBand(band);
}
} // namespace

// One host-rate sample through the equaliser (interpolator, eight sections and stage evaluations at 2x,
// decimator); an item is a host sample.
static void BM_EqProcessSample(benchmark::State& state)
{
    auto eq = std::make_unique<omvitz::TzEq>();
    eq->prepare(48000.0);
    setAllBands(*eq);
    float phase = 0.0f;
    for (auto _ : state)
    {
        phase += 0.0575f;
        if (phase > 6.2831853f)
            phase -= 6.2831853f;
        benchmark::DoNotOptimize(eq->processSample(0.3f * std::sin(phase)));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EqProcessSample);

// The per-block cost: all four bands redesigned, as the strip does every block.
static void BM_EqRecomputeAllBands(benchmark::State& state)
{
    auto eq = std::make_unique<omvitz::TzEq>();
    eq->prepare(48000.0);
    setAllBands(*eq);
    float wobble = 0.0f;
    for (auto _ : state)
    {
        wobble = wobble > 1.0f ? 0.0f : wobble + 0.01f; // keep the designs from being hoisted
        eq->bands[2].gainDb = 9.0f + wobble;
        for (int band = 0; band < 4; ++band)
            eq->recomputeBand(band);
        benchmark::DoNotOptimize(eq->sections[2].b0);
    }
}
BENCHMARK(BM_EqRecomputeAllBands);
