// libFuzzer target: arbitrary bytes as a preset file, loaded the way the preset menu loads one.
#include "FuzzedStrip.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const auto* presetFile = new juce::TemporaryFile(".tzpreset");
    auto& processor = fuzzing::strip();
    if (!presetFile->getFile().replaceWithData(data, size))
        return 0;
    processor.loadPreset(presetFile->getFile());
    fuzzing::checkStrip(processor);
    return 0;
}
