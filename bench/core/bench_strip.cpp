#include "dsp/TzChannelStrip.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

namespace
{
omvitz::TZParams settingsFor(int variant)
{
    omvitz::TZParams p;
    if (variant >= 1) // microphone path: transformer and mic amplifier
    {
        p.lineSelected = false;
        p.micGainDb = 40.0f;
    }
    if (variant >= 2) // and the whole strip working: filters, compressor, expander, make-up
    {
        p.hpfOn = p.lpfOn = true;
        p.compOn = true;
        p.compThrDb = -4.0f;
        p.gateMode = 1;
    }
    if (variant >= 3) // and all four equaliser bands cutting or boosting
    {
        p.loGainDb = 6.0f;
        p.m1GainDb = -4.0f;
        p.m1Q = 1.5f;
        p.m2GainDb = 9.0f;
        p.m2Q = 2.0f;
        p.hiShelf = false;
        p.hiHiQ = true;
        p.hiFreq = 12000.0f;
        p.hiGainDb = -3.0f;
    }
    return p;
}
} // namespace

// One channel through the whole strip, one sample at a time; an item is a sample. Argument 0: default
// settings (line input), 1: microphone input, 2: microphone input with filters and dynamics working, 3: as 2
// with all four equaliser bands active.
static void BM_StripProcessSample(benchmark::State& state)
{
    auto strip = std::make_unique<omvitz::TzChannelStrip>();
    strip->prepare(48000.0);
    strip->applyParams(settingsFor(static_cast<int>(state.range(0))));
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
BENCHMARK(BM_StripProcessSample)->Arg(0)->Arg(1)->Arg(2)->Arg(3);

// A prepare after the first: the curves are baked once per process, so this is the strip's own set-up.
static void BM_StripLaterPrepare(benchmark::State& state)
{
    auto strip = std::make_unique<omvitz::TzChannelStrip>();
    strip->prepare(48000.0);
    for (auto _ : state)
        strip->prepare(44100.0);
}
BENCHMARK(BM_StripLaterPrepare)->Unit(benchmark::kMicrosecond);
