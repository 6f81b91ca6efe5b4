#include "State.h"

#include "HostedPlugin.h"
#include "processor/StoredXml.h"

namespace tzstrip
{
namespace
{
// A VST3 preset file: "VST3", version, the class ID as 32 characters, the offset of the chunk list; then
// the data chunks and the list ("List", entry count, then per entry an ID, offset and size).
constexpr size_t presetHeaderBytes = 48;
constexpr size_t classIdOffset = 8;
constexpr size_t classIdBytes = 32;

struct PresetAccess : juce::ExtensionsVisitor
{
    juce::MemoryBlock toLoad;
    juce::MemoryBlock saved;
    bool isVst3 = false;
    bool loaded = false;

    void visitVST3Client(const VST3Client& client) override
    {
        isVst3 = true;
        if (toLoad.isEmpty())
            saved = client.getPreset();
        else
            loaded = client.setPreset(toLoad);
    }
};

// A preset file for the same plug-in class as `likeThis`, holding only a component state.
juce::MemoryBlock presetWithComponentState(const juce::MemoryBlock& likeThis,
                                           const juce::MemoryBlock& componentState)
{
    if (likeThis.getSize() < presetHeaderBytes || std::memcmp(likeThis.getData(), "VST3", 4) != 0)
        throw CommandError("the plug-in wrote no VST3 preset to start from");
    juce::MemoryBlock preset;
    juce::MemoryOutputStream out(preset, false);
    out.write("VST3", 4);
    out.writeInt(1);
    out.write(static_cast<const char*>(likeThis.getData()) + classIdOffset, classIdBytes);
    out.writeInt64(static_cast<juce::int64>(presetHeaderBytes + componentState.getSize()));
    out.write(componentState.getData(), componentState.getSize());
    out.write("List", 4);
    out.writeInt(1);
    out.write("Comp", 4);
    out.writeInt64(static_cast<juce::int64>(presetHeaderBytes));
    out.writeInt64(static_cast<juce::int64>(componentState.getSize()));
    out.flush();
    return preset;
}
} // namespace

juce::MemoryBlock saveVst3Preset(juce::AudioPluginInstance& instance)
{
    PresetAccess access;
    instance.getExtensions(access);
    if (!access.isVst3 || access.saved.isEmpty())
        throw CommandError("the plug-in did not hand over its state");
    return access.saved;
}

void loadVst3Preset(juce::AudioPluginInstance& instance, const juce::MemoryBlock& preset)
{
    PresetAccess access;
    access.toLoad = preset;
    if (preset.isEmpty())
        throw CommandError("the state file is empty");
    instance.getExtensions(access);
    if (!access.loaded)
        throw CommandError("the plug-in refused the state file (not a VST3 preset of this plug-in)");
}

void applyStripPreset(juce::AudioPluginInstance& instance, const juce::File& file)
{
    const auto xml = omvitz::parseStoredXml(file);
    if (xml == nullptr)
        throw CommandError("not a readable preset file: " + file.getFullPathName().toStdString());
    juce::MemoryBlock chunk;
    juce::AudioProcessor::copyXmlToBinary(*xml, chunk);
    loadVst3Preset(instance, presetWithComponentState(saveVst3Preset(instance), chunk));
}

} // namespace tzstrip
