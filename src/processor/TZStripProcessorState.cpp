#include "processor/StoredXml.h"
#include "processor/TZStripProcessor.h"

#include <cmath>

namespace
{
constexpr juce::uint32 stateMagic = 0x21324356; // "VC2!"
constexpr int chunkHeaderBytes = 8;             // magic and text length
constexpr float maxGuiScale = 2.0f;
constexpr const char* presetExtension = ".tzpreset";

// A typed name that would leave the presets folder, or name no file at all, is not a preset name.
bool isUsablePresetName(const juce::String& name)
{
    return name.isNotEmpty() && name != "." && name != ".." && !name.containsAnyOf("/\\");
}
} // namespace

// The settings tree with the current parameter values flushed into it; invalid when there is none.
juce::ValueTree TZStripProcessor::copyStateForSaving()
{
    auto copy = state.copyState();
    if (copy.isValid())
        defaultNonFiniteValues(copy);
    return copy;
}

std::unique_ptr<juce::XmlElement> TZStripProcessor::stateXml()
{
    const auto copy = copyStateForSaving();
    return copy.isValid() ? copy.createXml() : nullptr;
}

// A value that is not a finite number (from a broken file, chunk or host) stands for the parameter's
// default, so it neither reaches a parameter nor gets written out.
void TZStripProcessor::defaultNonFiniteValues(juce::ValueTree& tree) const
{
    for (auto child : tree)
    {
        const auto* parameter = state.getParameter(child.getProperty("id").toString());
        const auto& value = child.getProperty("value");
        if (parameter != nullptr && !value.isVoid() && !std::isfinite(static_cast<double>(value)))
            child.setProperty("value", parameter->convertFrom0to1(parameter->getDefaultValue()), nullptr);
    }
}

void TZStripProcessor::getStateInformation(juce::MemoryBlock& destData)
{
    auto copy = copyStateForSaving();
    if (!copy.isValid())
        return;
    copy.setProperty("guiScale", static_cast<double>(guiScale.load()), nullptr);
    copy.setProperty("guiScaleUserSet", guiScaleUserSet.load(), nullptr);
    if (const auto xml = copy.createXml())
        copyXmlToBinary(*xml, destData);
}

void TZStripProcessor::setStateInformation(const void* data, int sizeInBytes)
{
    if (data == nullptr || sizeInBytes <= chunkHeaderBytes)
        return;
    const auto* bytes = static_cast<const char*>(data);
    if (juce::ByteOrder::littleEndianInt(bytes) != stateMagic)
        return;
    // The length is a signed field: zero or negative means there is no text.
    const auto length = static_cast<juce::int32>(juce::ByteOrder::littleEndianInt(bytes + 4));
    if (length <= 0)
        return;
    const auto available = static_cast<size_t>(sizeInBytes - chunkHeaderBytes);
    const auto xml =
        omvitz::parseStoredXml(bytes + chunkHeaderBytes, std::min(static_cast<size_t>(length), available));
    if (xml == nullptr)
        return;
    const auto tree = juce::ValueTree::fromXml(*xml);
    if (!tree.isValid())
        return;

    const auto scale = static_cast<float>(static_cast<double>(tree.getProperty("guiScale", 1.0)));
    restoredGuiScale.exchange(std::isfinite(scale) && scale >= 1.0f ? std::min(scale, maxGuiScale) : 1.0f);
    guiScaleUserSet.exchange(static_cast<bool>(tree.getProperty("guiScaleUserSet", false)));
    replaceState(tree);
}

juce::File TZStripProcessor::productFolder()
{
    return juce::File::getSpecialLocation(juce::File::userApplicationDataDirectory)
        .getChildFile("OMVI Audio")
        .getChildFile("TZ Channel");
}

juce::File TZStripProcessor::presetsFolder()
{
    return productFolder().getChildFile("Presets");
}

juce::File TZStripProcessor::startupDefaultFile()
{
    return productFolder().getChildFile("startup-default.xml");
}

void TZStripProcessor::loadStartupDefault()
{
    loadSettingsFile(startupDefaultFile());
}

void TZStripProcessor::saveStartupDefault()
{
    const auto xml = stateXml();
    if (xml == nullptr)
        return;
    const auto file = startupDefaultFile();
    if (file.getParentDirectory().createDirectory())
        xml->writeTo(file);
}

void TZStripProcessor::clearStartupDefault()
{
    startupDefaultFile().deleteFile();
}

void TZStripProcessor::savePreset(const juce::String& typedName)
{
    const auto name = typedName.trim();
    if (!isUsablePresetName(name))
        return;
    const auto xml = stateXml();
    if (xml == nullptr)
        return;
    const auto folder = presetsFolder();
    // Joined by hand rather than through getChildFile, which reads "~" and ".." in a name as paths.
    const juce::File file(folder.getFullPathName() + juce::File::getSeparatorString() + name +
                          presetExtension);
    if (folder.createDirectory())
        xml->writeTo(file);
}

juce::Array<juce::File> TZStripProcessor::listPresets()
{
    const auto folder = presetsFolder();
    folder.createDirectory();
    // The framework's wildcard match ignores case; preset names are matched exactly.
    auto files = folder.findChildFiles(juce::File::findFiles, false, juce::String("*") + presetExtension);
    files.removeIf([](const juce::File& file) { return !file.getFileName().endsWith(presetExtension); });
    return files;
}

juce::String TZStripProcessor::presetDisplayName(const juce::File& preset)
{
    return preset.getFileNameWithoutExtension();
}

void TZStripProcessor::loadPreset(const juce::File& preset)
{
    loadSettingsFile(preset);
}

// Scale attributes a settings file may carry are not read: only the host chunk restores the window size.
void TZStripProcessor::loadSettingsFile(const juce::File& file)
{
    if (const auto xml = omvitz::parseStoredXml(file))
        replaceState(juce::ValueTree::fromXml(*xml));
}

// A stored state may list only some parameters: the others keep their current values rather than
// falling back to their defaults.
void TZStripProcessor::replaceState(juce::ValueTree tree)
{
    if (!tree.isValid())
        return;
    defaultNonFiniteValues(tree);
    for (auto* parameter : getParameters())
    {
        const auto* ranged = dynamic_cast<juce::RangedAudioParameter*>(parameter);
        if (ranged == nullptr || tree.getChildWithProperty("id", ranged->getParameterID()).isValid())
            continue;
        juce::ValueTree child("PARAM");
        child.setProperty("id", ranged->getParameterID(), nullptr);
        child.setProperty("value", ranged->convertFrom0to1(ranged->getValue()), nullptr);
        tree.appendChild(child, nullptr);
    }
    state.replaceState(tree);
}
