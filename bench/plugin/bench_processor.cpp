#include "processor/TZStripProcessor.h"

#include <benchmark/benchmark.h>

#include <cmath>

// One 512-sample stereo block through the processor at default settings, parameters read and meters
// published.
static void BM_ProcessorStereoBlock512(benchmark::State& state)
{
    const juce::ScopedJuceInitialiser_GUI juce;
    TZStripProcessor processor;
    constexpr int blockSize = 512;
    processor.prepareToPlay(48000.0, blockSize);
    juce::AudioBuffer<float> buffer(2, blockSize);
    juce::MidiBuffer midi;
    float phase = 0.0f;
    for (auto _ : state)
    {
        for (int i = 0; i < blockSize; ++i, phase += 0.0575f)
        {
            buffer.setSample(0, i, 0.3f * std::sin(phase));
            buffer.setSample(1, i, 0.3f * std::cos(phase));
        }
        processor.processBlock(buffer, midi);
        benchmark::DoNotOptimize(buffer.getReadPointer(0));
    }
    state.SetItemsProcessed(state.iterations() * blockSize);
}
BENCHMARK(BM_ProcessorStereoBlock512);
