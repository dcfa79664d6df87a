#include "peers/unsafe_text.h"

#include <algorithm>
#include <array>

namespace
{

// What a text holds that would break a line, from harmless to worst: when a
// text holds several, the worst is the one named.
enum class text_fault { none, comment_marker, line_break };

// ";--" opens a block comment that hides every later line up to "--;", and
// a stray "--;" makes the parser drop every later section. Both markers hold
// a semicolon, so they are looked for only around one.
bool comment_marker_at(std::string_view text, std::size_t semicolon)
{
    return text.substr(semicolon + 1, 2) == "--" ||
           (semicolon >= 2 && text.substr(semicolon - 2, 2) == "--");
}

// The bytes that may start trouble; one look-up per byte keeps the common
// case, a byte that is none of them, cheap.
constexpr std::array<bool, 256> suspect_bytes = [] {
    std::array<bool, 256> suspect{};
    suspect['\n'] = suspect['\r'] = suspect[';'] = true;
    return suspect;
}();

// One pass over the text, as this runs for every cell of every row.
text_fault scan(std::string_view text)
{
    text_fault found = text_fault::none;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (!suspect_bytes[static_cast<unsigned char>(c)])
            continue;
        // A line break ends the line early: what follows becomes lines of its own.
        if (c == '\n' || c == '\r')
            return text_fault::line_break;
        if (comment_marker_at(text, i))
            found = text_fault::comment_marker;
    }
    return found;
}

const char *describe(text_fault fault)
{
    switch (fault) {
    case text_fault::none:
        break;
    case text_fault::comment_marker:
        return "a block comment marker";
    case text_fault::line_break:
        return "a line break";
    }
    return nullptr;
}

} // namespace

const char *setting_hazard(std::string_view key, std::string_view value)
{
    return describe(std::max(scan(key), scan(value)));
}

const char *header_hazard(std::string_view value)
{
    if (const char *hazard = describe(scan(value)))
        return hazard;
    // "]" would end the section name early, and the rest could make the
    // section a template or inherit from another; ";" cuts the header short.
    if (value.find(']') != std::string_view::npos)
        return "a closing bracket";
    if (value.find(';') != std::string_view::npos)
        return "a semicolon";
    return nullptr;
}
