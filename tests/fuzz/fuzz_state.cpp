// libFuzzer target: arbitrary bytes handed to the processor as a host state chunk.
#include "FuzzedStrip.h"

#include <climits>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto& processor = fuzzing::strip();
    processor.setStateInformation(data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    fuzzing::checkStrip(processor);

    // Whatever was restored is written back as a well-formed chunk.
    juce::MemoryBlock chunk;
    processor.getStateInformation(chunk);
    const auto* bytes = static_cast<const char*>(chunk.getData());
    if (chunk.getSize() < 10 || juce::ByteOrder::littleEndianInt(bytes) != 0x21324356u ||
        juce::ByteOrder::littleEndianInt(bytes + 4) != chunk.getSize() - 9 || bytes[chunk.getSize() - 1] != 0)
        std::abort();
    return 0;
}
