#pragma once

#include "processor/TZStripProcessor.h"

#include <cmath>
#include <cstdlib>

namespace fuzzing
{

// One processor for the whole fuzzing run, prepared once (the first prepare bakes the curves). It is never
// destroyed: the fuzzer leaves through exit(), where the framework's shutdown order is not ours to set.
inline TZStripProcessor& strip()
{
    static const auto* framework = new juce::ScopedJuceInitialiser_GUI();
    static auto* processor = []
    {
        auto* p = new TZStripProcessor();
        p->prepareToPlay(48000.0, 64);
        return p;
    }();
    (void)framework;
    return *processor;
}

// Whatever settings were restored, the restored scale stays a window size and the strip's output stays
// finite. A violation aborts, which the fuzzer reports as a crash with its input.
inline void checkStrip(TZStripProcessor& processor)
{
    const float scale = processor.restoredGuiScale.load();
    if (!(scale >= 1.0f && scale <= 2.0f))
        std::abort();
    juce::AudioBuffer<float> buffer(2, 64);
    for (int i = 0; i < buffer.getNumSamples(); ++i)
        for (int c = 0; c < 2; ++c)
            buffer.setSample(c, i, 0.9f * std::sin(0.3f * static_cast<float>(i + c)));
    juce::MidiBuffer midi;
    processor.processBlock(buffer, midi);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < buffer.getNumSamples(); ++i)
            if (!std::isfinite(buffer.getSample(c, i)))
                std::abort();
}

} // namespace fuzzing
