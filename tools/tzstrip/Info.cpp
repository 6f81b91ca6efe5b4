#include "Commands.h"
#include "HostedPlugin.h"

#include <iostream>

namespace tzstrip
{
namespace
{
juce::var numberOrNull(const juce::String& text)
{
    const auto trimmed = text.trim().upToFirstOccurrenceOf(" ", false, false);
    if (trimmed.isEmpty() || !trimmed.containsOnly("+-0123456789.eE"))
        return {};
    return trimmed.getDoubleValue();
}

juce::var describeParameter(int index, juce::AudioProcessorParameter& parameter, bool isBypass)
{
    auto* object = new juce::DynamicObject();
    const float defaultValue = parameter.getDefaultValue();
    object->setProperty("index", index);
    object->setProperty("id", stringIdOf(parameter));
    if (isBypass)
        object->setProperty("bypass", true);
    object->setProperty("name", parameter.getName(256));
    object->setProperty("default", defaultValue);
    object->setProperty("defaultText", parameter.getText(defaultValue, 256));
    const auto text0 = parameter.getText(0.0f, 256);
    const auto text1 = parameter.getText(1.0f, 256);
    // A read-only meter's plain range is its normalised range; elsewhere the value texts carry the units.
    const bool meter = !parameter.isAutomatable();
    object->setProperty("min", meter ? juce::var(0.0) : numberOrNull(text0));
    object->setProperty("max", meter ? juce::var(1.0) : numberOrNull(text1));
    object->setProperty("automatable", parameter.isAutomatable());
    object->setProperty("meta", parameter.isMetaParameter());
    object->setProperty("category", static_cast<int>(parameter.getCategory()));
    object->setProperty("text0", text0);
    object->setProperty("textHalf", parameter.getText(0.5f, 256));
    object->setProperty("text1", text1);
    return object;
}

juce::var describeLayout(juce::AudioPluginInstance& instance, const juce::AudioChannelSet& input,
                         const juce::AudioChannelSet& output, bool sidechain)
{
    auto* object = new juce::DynamicObject();
    object->setProperty("input", input.getDescription());
    object->setProperty("output", output.getDescription());
    object->setProperty("sidechain", sidechain);
    object->setProperty("accepted", instance.checkBusesLayoutSupported(makeLayout(input, output, sidechain)));
    return object;
}
} // namespace

int runInfo(const juce::StringArray& args)
{
    if (args.size() != 1)
        throw CommandError("usage: tzstrip info BUNDLE");

    constexpr double rate = 48000.0;
    constexpr int block = 512;
    auto loaded = loadBundle(args[0], rate, block);
    auto& instance = *loaded.instance;

    auto* info = new juce::DynamicObject();
    juce::var result(info);
    info->setProperty("name", loaded.description.name);
    info->setProperty("vendor", loaded.description.manufacturerName);
    info->setProperty("version", loaded.description.version);
    info->setProperty("category", loaded.description.category);

    const auto mono = juce::AudioChannelSet::mono();
    const auto stereo = juce::AudioChannelSet::stereo();
    juce::Array<juce::var> layouts;
    for (bool sidechain : {false, true})
    {
        layouts.add(describeLayout(instance, mono, mono, sidechain));
        layouts.add(describeLayout(instance, stereo, stereo, sidechain));
    }
    layouts.add(describeLayout(instance, stereo, mono, false));

    instance.setBusesLayout(makeLayout(stereo, stereo, false));
    prepare(instance, rate, block);
    info->setProperty("latency", instance.getLatencySamples());
    info->setProperty("layouts", layouts);

    juce::Array<juce::var> parameters;
    const auto* bypass = instance.getBypassParameter();
    const auto& all = instance.getParameters();
    for (int i = 0; i < all.size(); ++i)
        parameters.add(describeParameter(i, *all[i], all[i] == bypass));
    info->setProperty("parameters", parameters);
    instance.releaseResources();

    std::cout << juce::JSON::toString(result).toStdString() << std::endl;
    return 0;
}

} // namespace tzstrip
