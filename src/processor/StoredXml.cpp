#include "processor/StoredXml.h"

#include <filesystem>
#include <string_view>
#include <system_error>

namespace omvitz
{
namespace
{
// Skips to just past `terminator`; npos when the text ends first.
std::size_t skipPast(std::string_view text, std::size_t from, std::string_view terminator)
{
    const auto at = text.find(terminator, from);
    return at == std::string_view::npos ? at : at + terminator.size();
}

// Index of the '>' that ends the tag opened at `from`, stepping over quoted attribute values.
std::size_t endOfTag(std::string_view text, std::size_t from)
{
    char quote = 0;
    for (auto i = from; i < text.size(); ++i)
    {
        const char c = text[i];
        if (quote != 0)
            quote = c == quote ? 0 : quote;
        else if (c == '"' || c == '\'')
            quote = c;
        else if (c == '>')
            return i;
    }
    return std::string_view::npos;
}

// Walks the markup and reports whether the element nesting stays within the limit. Comments, CDATA and
// processing instructions are stepped over; any other "<!" declaration is refused, and so is text that
// ends inside markup (the parser would reject it anyway).
bool nestingIsSafe(std::string_view text)
{
    int depth = 0;
    std::size_t i = 0;
    while ((i = text.find('<', i)) != std::string_view::npos)
    {
        const auto rest = text.substr(i);
        if (rest.substr(0, 4) == "<!--")
            i = skipPast(text, i + 4, "-->");
        else if (rest.substr(0, 9) == "<![CDATA[")
            i = skipPast(text, i + 9, "]]>");
        else if (rest.substr(0, 2) == "<!")
            return false;
        else if (rest.substr(0, 2) == "<?")
            i = skipPast(text, i + 2, "?>");
        else
        {
            const bool closing = rest.substr(0, 2) == "</";
            const auto end = endOfTag(text, i + 1);
            if (end == std::string_view::npos)
                return false;
            if (closing)
                depth = depth > 0 ? depth - 1 : 0;
            else if (text[end - 1] != '/' && ++depth > maxStoredXmlDepth)
                return false;
            i = end + 1;
        }
        if (i == std::string_view::npos)
            return false;
    }
    return true;
}
} // namespace

std::unique_ptr<juce::XmlElement> parseStoredXml(const char* utf8, std::size_t numBytes)
{
    // Malformed UTF-8 is refused before the framework's parser walks it: a truncated multi-byte
    // sequence at the end would make it read past the text.
    if (utf8 == nullptr || numBytes == 0 || numBytes > maxStoredXmlBytes ||
        !juce::CharPointer_UTF8::isValidString(utf8, static_cast<int>(numBytes)) ||
        !nestingIsSafe(std::string_view(utf8, numBytes)))
        return nullptr;
    return juce::XmlDocument::parse(juce::String::fromUTF8(utf8, static_cast<int>(numBytes)));
}

std::unique_ptr<juce::XmlElement> parseStoredXml(const juce::File& file)
{
    // Only regular files: a device or pipe behind a settings name could be endless or block forever.
    std::error_code error;
    if (!std::filesystem::is_regular_file(file.getFullPathName().toStdString(), error))
        return nullptr;
    juce::FileInputStream in(file);
    if (!in.openedOk())
        return nullptr;
    juce::MemoryBlock bytes;
    if (in.readIntoMemoryBlock(bytes, static_cast<ssize_t>(maxStoredXmlBytes) + 1) > maxStoredXmlBytes)
        return nullptr;
    return parseStoredXml(static_cast<const char*>(bytes.getData()), bytes.getSize());
}

} // namespace omvitz
