#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>
#include <memory>

namespace omvitz
{

// Settings text from a host chunk or a file is a few kilobytes two levels deep. Anything far larger or
// deeper cannot be ours, and parsing it could exhaust memory or the stack, so it is refused up front.
constexpr std::size_t maxStoredXmlBytes = 10 * 1024 * 1024;
constexpr int maxStoredXmlDepth = 64;

// Parses stored settings text, or returns nullptr when it is too large, not valid UTF-8 or not a plain
// well-formed XML document nested at most maxStoredXmlDepth deep. Text ends at the first zero byte.
std::unique_ptr<juce::XmlElement> parseStoredXml(const char* utf8, std::size_t numBytes);

// The same for a file; a missing, unreadable or oversized file gives nullptr.
std::unique_ptr<juce::XmlElement> parseStoredXml(const juce::File& file);

} // namespace omvitz
