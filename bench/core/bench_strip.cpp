#include "dsp/TzChannelStrip.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

// One channel through the whole strip, one sample at a time, at default settings; an item is a sample.
static void BM_StripProcessSample(benchmark::State& state)
{
    auto strip = std::make_unique<omvitz::TzChannelStrip>();
    strip->prepare(48000.0);
    strip->applyParams(omvitz::TZParams{});
    float phase = 0.0f;
    for (auto _ : state)
    {
        phase += 0.0575f;
        if (phase > 6.2831853f)
            phase -= 6.2831853f;
        benchmark::DoNotOptimize(strip->processSample(0.3f * std::sin(phase), 0.0f));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StripProcessSample);

// A prepare after the first: the curves are baked once per process, so this is the strip's own set-up.
static void BM_StripLaterPrepare(benchmark::State& state)
{
    auto strip = std::make_unique<omvitz::TzChannelStrip>();
    strip->prepare(48000.0);
    for (auto _ : state)
        strip->prepare(44100.0);
}
BENCHMARK(BM_StripLaterPrepare)->Unit(benchmark::kMicrosecond);
