// Per-sample cost of the dynamics section and the supply model.

#include "dsp/TzDynamics.h"
#include "dsp/TzSupply.h"
#include "processor/TZParams.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

namespace
{

constexpr double kRate = 48000.0;
constexpr int kLength = 1 << 16;

// Music-like detector: partials under re-triggered decays, a quiet noise bed and some gaps, so that the
// compressor attacks and releases and the expander opens and closes.
const std::vector<float>& musicSignal()
{
    static const std::vector<float> signal = []
    {
        std::vector<float> v(kLength);
        std::mt19937 rng(5);
        std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
        const double twoPi = 6.283185307179586;
        double env = 0.0;
        for (int i = 0; i < kLength; ++i)
        {
            if (i % 9000 == 0)
                env = 0.2 + 0.7 * ((i / 9000) % 3) / 2.0;
            env *= 0.9997;
            const double t = i / kRate;
            const double tone = 0.5 * std::sin(twoPi * 98.0 * t) + 0.3 * std::sin(twoPi * 294.0 * t + 1.0) +
                                0.2 * std::sin(twoPi * 2217.0 * t);
            v[static_cast<size_t>(i)] = static_cast<float>(env * tone + 0.002 * noise(rng));
        }
        return v;
    }();
    return signal;
}

omvitz::TZParams compAndExpander()
{
    omvitz::TZParams p;
    p.compOn = true;
    p.compThrDb = 4.0f;
    p.compRatio = 4.0f;
    p.compRelMs = 3300.0f; // automatic release: the costlier path
    p.gateMode = 1;
    p.gateThrDb = -10.0f;
    return p;
}

void setPerSample(benchmark::State& state)
{
    const auto samples = static_cast<double>(state.iterations()) * kLength;
    state.SetItemsProcessed(static_cast<int64_t>(samples));
    // Seconds per sample, printed with an SI prefix (e.g. "21.7ns").
    state.counters["per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_DynamicsCompExpander(benchmark::State& state)
{
    const auto& in = musicSignal();
    omvitz::TzDynamics d;
    d.prepare(kRate);
    d.applyParams(compAndExpander());
    for (auto _ : state)
    {
        float acc = 0.0f;
        for (float x : in)
            acc += d.process(x, nullptr).totalDb;
        benchmark::DoNotOptimize(acc);
    }
    setPerSample(state);
}
BENCHMARK(BM_DynamicsCompExpander);

void BM_DynamicsSilence(benchmark::State& state)
{
    // After a full-scale stretch, a long run of digital silence: the state must settle on its floors
    // rather than decay through subnormals (no flush-to-zero is set here).
    omvitz::TzDynamics d;
    d.prepare(kRate);
    d.applyParams(compAndExpander());
    for (int i = 0; i < 48000; ++i)
        d.process(1.0f, nullptr);
    const std::vector<float> silence(kLength, 0.0f);
    for (auto _ : state)
    {
        float acc = 0.0f;
        for (float x : silence)
            acc += d.process(x, nullptr).totalDb;
        benchmark::DoNotOptimize(acc);
    }
    setPerSample(state);
}
BENCHMARK(BM_DynamicsSilence);

void BM_Supply(benchmark::State& state)
{
    const auto& in = musicSignal();
    omvitz::TzSupply s;
    s.prepare(kRate);
    for (auto _ : state)
    {
        float acc = 0.0f;
        for (float x : in)
            acc += s.process(x);
        benchmark::DoNotOptimize(acc);
    }
    setPerSample(state);
}
BENCHMARK(BM_Supply);

void BM_SupplySilence(benchmark::State& state)
{
    omvitz::TzSupply s;
    s.prepare(kRate);
    for (int i = 0; i < 48000; ++i)
        s.process(0.5f);
    const std::vector<float> silence(kLength, 0.0f);
    for (auto _ : state)
    {
        float acc = 0.0f;
        for (float x : silence)
            acc += s.process(x);
        benchmark::DoNotOptimize(acc);
    }
    setPerSample(state);
}
BENCHMARK(BM_SupplySilence);

void BM_DynamicsGainAndSupply(benchmark::State& state)
{
    // The dynamics, the gain they ask for (10^(R/20) when R is not 0) and the supply model, per sample.
    const auto& in = musicSignal();
    omvitz::TzDynamics d;
    d.prepare(kRate);
    d.applyParams(compAndExpander());
    omvitz::TzSupply s;
    s.prepare(kRate);
    for (auto _ : state)
    {
        float acc = 0.0f;
        for (float x : in)
        {
            const omvitz::DynamicsGain g = d.process(x, nullptr);
            const float y = g.totalDb != 0.0f ? x * omvitz::TzDynamics::dbToGain(g.totalDb) : x;
            acc += s.process(y);
        }
        benchmark::DoNotOptimize(acc);
    }
    setPerSample(state);
}
BENCHMARK(BM_DynamicsGainAndSupply);

void BM_LinkedPairAndSupply(benchmark::State& state)
{
    // A linked stereo pair: per stereo sample, both sections, both gains and both supply models.
    const auto& in = musicSignal();
    omvitz::TZParams p = compAndExpander();
    p.linkMode = 1;
    omvitz::TzDynamics d0, d1;
    omvitz::TzSupply s0, s1;
    for (auto* d : {&d0, &d1})
    {
        d->prepare(kRate);
        d->applyParams(p);
    }
    s0.prepare(kRate);
    s1.prepare(kRate);
    for (auto _ : state)
    {
        float acc = 0.0f;
        for (size_t i = 0; i < in.size(); ++i)
        {
            const float l = in[i];
            const float r = in[(i + 777) % in.size()] * 0.5f;
            const float gl = omvitz::TzDynamics::dbToGain(d0.process(l, &d1).totalDb);
            const float gr = omvitz::TzDynamics::dbToGain(d1.process(r, &d0).totalDb);
            acc += s0.process(l * gl) + s1.process(r * gr);
        }
        benchmark::DoNotOptimize(acc);
    }
    setPerSample(state);
}
BENCHMARK(BM_LinkedPairAndSupply);

} // namespace
