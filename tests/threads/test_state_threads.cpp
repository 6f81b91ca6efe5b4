// A host saving and restoring the strip from its own thread while the audio thread plays. Built with
// ThreadSanitizer in the test command, where any data race fails the run.
#include "processor/TZStripProcessor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

namespace
{
juce::MemoryBlock stateWith(TZStripProcessor& processor, float compThrDb, float faderDb)
{
    for (const auto& [id, value] : {std::pair{"compThr", compThrDb}, std::pair{"fader", faderDb}})
    {
        auto* p = processor.state.getParameter(id);
        p->setValueNotifyingHost(p->convertTo0to1(value));
    }
    juce::MemoryBlock chunk;
    processor.getStateInformation(chunk);
    return chunk;
}

double savedThreshold(const juce::MemoryBlock& chunk)
{
    const auto xml =
        juce::AudioProcessor::getXmlFromBinary(chunk.getData(), static_cast<int>(chunk.getSize()));
    const auto* child = xml != nullptr ? xml->getChildByAttribute("id", "compThr") : nullptr;
    return child != nullptr ? child->getDoubleAttribute("value") : -1000.0;
}

TEST(StateThreads, HostSavesAndRestoresWhileAudioRuns)
{
    const juce::ScopedJuceInitialiser_GUI juce;
    TZStripProcessor processor;
    processor.prepareToPlay(48000.0, 256);
    const juce::MemoryBlock states[] = {stateWith(processor, -10.0f, -5.0f),
                                        stateWith(processor, 4.0f, 3.0f)};

    constexpr int rounds = 300;
    std::atomic<bool> hostDone{false};
    std::atomic<int> badSaves{0};
    std::thread host(
        [&]
        {
            for (int i = 0; i < rounds; ++i)
            {
                const auto& chunk = states[i % 2];
                processor.setStateInformation(chunk.getData(), static_cast<int>(chunk.getSize()));
                juce::MemoryBlock saved;
                processor.getStateInformation(saved);
                const double threshold = savedThreshold(saved);
                if (std::abs(threshold + 10.0) > 1e-3 && std::abs(threshold - 4.0) > 1e-3)
                    ++badSaves;
            }
            hostDone = true;
        });

    juce::AudioBuffer<float> buffer(2, 256);
    juce::MidiBuffer midi;
    int blocks = 0;
    bool finite = true;
    while (!hostDone.load() || blocks < 10)
    {
        for (int i = 0; i < buffer.getNumSamples(); ++i)
            for (int c = 0; c < 2; ++c)
                buffer.setSample(c, i, 0.5f * std::sin(0.05f * static_cast<float>(blocks * 256 + i)));
        processor.processBlock(buffer, midi);
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < buffer.getNumSamples(); ++i)
                finite = finite && std::isfinite(buffer.getSample(c, i));
        ++blocks;
    }
    host.join();

    EXPECT_TRUE(finite);
    EXPECT_EQ(badSaves.load(), 0);
    // The last restore (an odd round) wins.
    EXPECT_NEAR(processor.readParams().compThrDb, 4.0f, 1e-4f);
    EXPECT_NEAR(processor.readParams().faderDb, 3.0f, 1e-4f);
}
} // namespace
