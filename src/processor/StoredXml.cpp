#include "processor/StoredXml.h"

#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace omvitz
{
namespace
{
// A strict reading of the markup before the framework's parser sees it. That parser is lenient and, on
// some malformed text, loops for ever or recurses without limit, so only plain well-formed documents pass:
// an optional XML declaration, one root element, elements nested at most maxStoredXmlDepth deep with
// matching end tags and quoted attributes, text with simple character references, comments and CDATA.
// Document type declarations are refused (their entities can expand without bound or name other files),
// and so are processing instructions other than the declaration.
class WellFormedness
{
public:
    explicit WellFormedness(std::string_view textToCheck) : text(textToCheck) {}

    bool check()
    {
        skipSpace();
        if (startsWith("<?xml") && !skipPast("?>"))
            return false;
        return skipMisc() && element(1) && skipMisc() && at == text.size();
    }

private:
    std::string_view text;
    std::size_t at = 0;

    bool startsWith(std::string_view prefix) const { return text.substr(at, prefix.size()) == prefix; }
    bool atEnd() const { return at >= text.size(); }
    char next() const { return atEnd() ? '\0' : text[at]; }

    bool skipPast(std::string_view terminator)
    {
        const auto found = text.find(terminator, at);
        if (found == std::string_view::npos)
            return false;
        at = found + terminator.size();
        return true;
    }

    bool skipSpace()
    {
        const auto start = at;
        while (!atEnd() && (next() == ' ' || next() == '\t' || next() == '\r' || next() == '\n'))
            ++at;
        return at > start;
    }

    // White space and comments; false on an unterminated comment.
    bool skipMisc()
    {
        for (skipSpace(); startsWith("<!--"); skipSpace())
            if (!skipPast("-->"))
                return false;
        return true;
    }

    static bool isNameChar(char c, bool first)
    {
        const auto u = static_cast<unsigned char>(c);
        return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u == ':' || u >= 0x80 ||
               (!first && ((u >= '0' && u <= '9') || u == '-' || u == '.'));
    }

    std::string_view name()
    {
        const auto start = at;
        while (!atEnd() && isNameChar(next(), at == start))
            ++at;
        return text.substr(start, at - start);
    }

    // "&name;", "&#123;" or "&#x1F;".
    bool reference()
    {
        constexpr std::size_t longest = 12;
        const auto end = text.find(';', at);
        if (end == std::string_view::npos || end - at > longest || end == at + 1)
            return false;
        for (auto i = at + 1; i < end; ++i)
            if (!isNameChar(text[i], false) && text[i] != '#')
                return false;
        at = end + 1;
        return true;
    }

    bool attributeValue()
    {
        const char quote = next();
        if (quote != '"' && quote != '\'')
            return false;
        ++at;
        while (!atEnd() && next() != quote)
        {
            if (next() == '<')
                return false;
            if (next() != '&')
                ++at;
            else if (!reference())
                return false;
        }
        if (atEnd())
            return false;
        ++at;
        return true;
    }

    bool element(int depth)
    {
        if (depth > maxStoredXmlDepth || next() != '<')
            return false;
        ++at;
        const auto tag = name();
        if (tag.empty())
            return false;
        for (;;)
        {
            const bool spaced = skipSpace();
            if (startsWith("/>"))
            {
                at += 2;
                return true;
            }
            if (next() == '>')
                break;
            if (!spaced || name().empty())
                return false;
            skipSpace();
            if (next() != '=')
                return false;
            ++at;
            skipSpace();
            if (!attributeValue())
                return false;
        }
        ++at;
        return content(tag, depth);
    }

    bool content(std::string_view tag, int depth)
    {
        while (!atEnd())
        {
            if (next() == '&')
            {
                if (!reference())
                    return false;
            }
            else if (next() != '<')
                ++at;
            else if (startsWith("</"))
            {
                at += 2;
                if (name() != tag)
                    return false;
                skipSpace();
                if (next() != '>')
                    return false;
                ++at;
                return true;
            }
            else if (startsWith("<!--"))
            {
                if (!skipPast("-->"))
                    return false;
            }
            else if (startsWith("<![CDATA["))
            {
                if (!skipPast("]]>"))
                    return false;
            }
            else if (!element(depth + 1))
                return false;
        }
        return false;
    }
};
} // namespace

std::unique_ptr<juce::XmlElement> parseStoredXml(const char* utf8, std::size_t numBytes)
{
    if (utf8 == nullptr || numBytes > maxStoredXmlBytes)
        return nullptr;
    // The text ends at a zero byte, as it does for the parser. Malformed UTF-8 is refused before the parser
    // walks it: a truncated multi-byte sequence at the end would make it read past the text.
    const std::string_view text(utf8, ::strnlen(utf8, numBytes));
    if (text.empty() || !juce::CharPointer_UTF8::isValidString(text.data(), static_cast<int>(text.size())) ||
        !WellFormedness(text).check())
        return nullptr;
    return juce::XmlDocument::parse(juce::String::fromUTF8(text.data(), static_cast<int>(text.size())));
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
