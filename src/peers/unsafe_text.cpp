#include "peers/unsafe_text.h"

#include <algorithm>
#include <array>

namespace
{

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
    suspect['\n'] = suspect['\r'] = suspect[';'] = suspect['\0'] = true;
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
        // The PBX reads a line as a C string: a NUL byte cuts the value
        // short, and a shorter secret still registers.
        if (c == '\0')
            found = text_fault::nul;
        else if (found == text_fault::none && comment_marker_at(text, i))
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
    case text_fault::nul:
        return "a NUL byte";
    case text_fault::line_break:
        return "a line break";
    }
    return nullptr;
}

// The PBX strips blanks from both ends of a line before it looks at it, so
// a key that starts with '[' makes the line a section header, one that
// starts with '#' a directive such as #include, and a '=' moves the split
// between key and value. A plain ';' would end the line there.
bool ends_a_key(std::string_view key)
{
    std::size_t first = key.find_first_not_of(" \t\v\f");
    if (first != std::string_view::npos && (key[first] == '[' || key[first] == '#'))
        return true;
    return key.find('=') != std::string_view::npos || key.find(';') != std::string_view::npos;
}

} // namespace

key_check check_key(std::string_view key)
{
    return {scan(key), ends_a_key(key)};
}

const char *setting_hazard(const key_check &key, std::string_view value)
{
    if (const char *hazard = describe(std::max(key.fault, scan(value))))
        return hazard;
    return key.ends_key ? "a character that ends a key" : nullptr;
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
