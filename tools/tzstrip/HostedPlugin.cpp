#include "HostedPlugin.h"

#include "processor/ParameterIds.h"

#include <map>

namespace tzstrip
{
namespace
{
// The VST3 wrapper numbers a parameter with the hash of its string ID, top bit cleared.
juce::uint32 vst3ParamIdFor(const char* id)
{
    return static_cast<juce::uint32>(juce::String(id).hashCode()) & 0x7fffffffu;
}

const std::map<juce::uint32, juce::String>& knownIds()
{
    static const std::map<juce::uint32, juce::String> ids = []
    {
        std::map<juce::uint32, juce::String> m;
        for (const char* id : omvitz::controlIds)
            m[vst3ParamIdFor(id)] = id;
        for (const char* id : omvitz::meterIds)
            m[vst3ParamIdFor(id)] = id;
        return m;
    }();
    return ids;
}
} // namespace

LoadedPlugin loadBundle(const juce::String& bundlePath, double sampleRate, int blockSize)
{
    const juce::File bundle = juce::File::getCurrentWorkingDirectory().getChildFile(bundlePath);
    if (!bundle.exists())
        throw CommandError("no plug-in bundle at " + bundle.getFullPathName().toStdString());

    juce::VST3PluginFormat format;
    juce::OwnedArray<juce::PluginDescription> found;
    format.findAllTypesForFile(found, bundle.getFullPathName());
    if (found.isEmpty())
        throw CommandError("not a loadable VST3 bundle: " + bundle.getFullPathName().toStdString());

    LoadedPlugin loaded;
    loaded.description = *found[0];
    juce::String error;
    loaded.instance = format.createInstanceFromDescription(loaded.description, sampleRate, blockSize, error);
    if (loaded.instance == nullptr)
        throw CommandError("the plug-in in " + bundle.getFullPathName().toStdString() +
                           " could not be created: " + error.toStdString());
    return loaded;
}

juce::String stringIdOf(const juce::AudioProcessorParameter& parameter)
{
    const auto* hosted = dynamic_cast<const juce::HostedAudioProcessorParameter*>(&parameter);
    if (hosted == nullptr)
        return {};
    const auto number = static_cast<juce::uint32>(hosted->getParameterID().getLargeIntValue());
    const auto it = knownIds().find(number);
    return it != knownIds().end() ? it->second : juce::String();
}

void prepare(juce::AudioPluginInstance& instance, double sampleRate, int blockSize)
{
    constexpr int settleMs = 50;
    instance.prepareToPlay(sampleRate, blockSize);
    juce::MessageManager::getInstance()->runDispatchLoopUntil(settleMs);
}

juce::AudioProcessorParameter* findParameter(juce::AudioPluginInstance& instance, const juce::String& id)
{
    for (auto* parameter : instance.getParameters())
        if (stringIdOf(*parameter) == id)
            return parameter;
    return nullptr;
}

juce::AudioProcessor::BusesLayout makeLayout(const juce::AudioChannelSet& input,
                                             const juce::AudioChannelSet& output, bool sidechain)
{
    juce::AudioProcessor::BusesLayout layout;
    layout.inputBuses.add(input);
    layout.inputBuses.add(sidechain ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::disabled());
    layout.outputBuses.add(output);
    return layout;
}

} // namespace tzstrip
