#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

#include <memory>
#include <stdexcept>

namespace tzstrip
{

// A failure the command reports in one line before exiting with a non-zero status.
struct CommandError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

struct LoadedPlugin
{
    juce::PluginDescription description;
    std::unique_ptr<juce::AudioPluginInstance> instance;
};

// Loads the first plug-in class of a .vst3 bundle, as a DAW would; throws CommandError when it can't.
LoadedPlugin loadBundle(const juce::String& bundlePath, double sampleRate, int blockSize);

// Our string ID of a hosted parameter, recovered from the VST3 parameter number the wrapper derives from it;
// empty when it is none of ours (the wrapper's own bypass, for example).
juce::String stringIdOf(const juce::AudioProcessorParameter& parameter);

// Prepares the plug-in and lets the host side take in what the plug-in reported while preparing (its
// latency arrives as an asynchronous restart request on the message thread).
void prepare(juce::AudioPluginInstance& instance, double sampleRate, int blockSize);

juce::AudioProcessorParameter* findParameter(juce::AudioPluginInstance& instance, const juce::String& id);

juce::AudioProcessor::BusesLayout makeLayout(const juce::AudioChannelSet& input,
                                             const juce::AudioChannelSet& output, bool sidechain);

} // namespace tzstrip
