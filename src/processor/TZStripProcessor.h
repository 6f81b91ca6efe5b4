#pragma once

#include "dsp/TzChannelStrip.h"
#include "processor/ParameterIds.h"
#include "processor/TZParams.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>

// The host-facing channel strip: buses, parameters, two strips run from the audio callback, level and
// gain-reduction publishing, and the saved state.
class TZStripProcessor : public juce::AudioProcessor
{
public:
    TZStripProcessor();

    static juce::AudioProcessorValueTreeState::ParameterLayout createLayout();
    omvitz::TZParams readParams() const;

    void prepareToPlay(double newSampleRate, int maximumBlockSize) override;
    void releaseResources() override {}
    bool isBusesLayoutSupported(const BusesLayout& layouts) const override;
    void processBlock(juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;
    using juce::AudioProcessor::processBlock;

    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override { return true; }

    const juce::String getName() const override { return "OMVI TZ Strip"; }
    bool acceptsMidi() const override { return false; }
    bool producesMidi() const override { return false; }
    bool isMidiEffect() const override { return false; }
    bool supportsMPE() const override { return false; }
    double getTailLengthSeconds() const override { return 0.0; }

    int getNumPrograms() override { return 1; }
    int getCurrentProgram() override { return 0; }
    void setCurrentProgram(int) override {}
    const juce::String getProgramName(int) override { return {}; }
    void changeProgramName(int, const juce::String&) override {}

    void getStateInformation(juce::MemoryBlock& destData) override;
    void setStateInformation(const void* data, int sizeInBytes) override;

    // Settings files in the product folder under the user's application data. Everything but the path
    // lookups runs on the message thread; failures change nothing and report nothing.
    static juce::File productFolder();
    static juce::File presetsFolder();
    static juce::File startupDefaultFile(); // where every new instance looks for its first settings
    void saveStartupDefault();
    static void clearStartupDefault();
    void savePreset(const juce::String& typedName);
    static juce::Array<juce::File> listPresets(); // creates the presets folder; directory order
    static juce::String presetDisplayName(const juce::File& preset);
    void loadPreset(const juce::File& preset);

    juce::AudioProcessorValueTreeState state;

    std::atomic<float> guiScale{1.0f};
    std::atomic<float> restoredGuiScale{1.0f};
    std::atomic<bool> guiScaleUserSet{false};

    // Published once per block for the editor, in dB (levels -100 when silent).
    std::atomic<float> compGrDb{0.0f};
    std::atomic<float> gateGrDb{0.0f};
    std::atomic<float> outPeakDb{-100.0f};
    std::atomic<float> outRmsDb{-100.0f};
    std::atomic<float> inPeakDb{-100.0f};
    std::atomic<float> inRmsDb{-100.0f};

private:
    struct BlockStats
    {
        float inPeak = 0.0f, outPeak = 0.0f;
        double inSum = 0.0, outSum = 0.0;
        int count = 0;

        void add(float in, float out)
        {
            inPeak = std::max(inPeak, std::abs(in));
            outPeak = std::max(outPeak, std::abs(out));
            inSum += double(in) * in;
            outSum += double(out) * out;
            ++count;
        }
    };

    void publishMeters(const BlockStats& stats, int numSamples, bool singleStrip);
    void loadStartupDefault();
    void loadSettingsFile(const juce::File& file);
    void replaceState(juce::ValueTree tree);
    juce::ValueTree copyStateForSaving();
    std::unique_ptr<juce::XmlElement> stateXml();
    void defaultNonFiniteValues(juce::ValueTree& tree) const;

    std::array<std::atomic<float>*, static_cast<int>(omvitz::Control::count)> controls{};
    std::array<float, static_cast<int>(omvitz::Control::count)> defaults{};
    std::array<juce::AudioParameterFloat*, static_cast<int>(omvitz::Meter::count)> meters{};

    std::array<omvitz::TzChannelStrip, 2> strips;
    double sampleRate = 48000.0;
    double rmsInState = 0.0;
    double rmsOutState = 0.0;
};
