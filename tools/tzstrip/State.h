#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

namespace tzstrip
{

// The hosted plug-in's whole state as a VST3 preset file (".vstpreset"), the form hosts exchange.
juce::MemoryBlock saveVst3Preset(juce::AudioPluginInstance& instance);

// Restores a VST3 preset file's content into the hosted plug-in; throws CommandError when it is refused.
void loadVst3Preset(juce::AudioPluginInstance& instance, const juce::MemoryBlock& preset);

// Applies a strip preset file (".tzpreset") through the plug-in's own state restore; throws CommandError
// when the file is missing or is not settings XML.
void applyStripPreset(juce::AudioPluginInstance& instance, const juce::File& file);

} // namespace tzstrip
