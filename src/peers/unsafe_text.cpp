#include "peers/unsafe_text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace
{

// The PBX reads a file through a buffer of 8192 bytes: a line of 8191 bytes
// or more before its line feed is skipped with a warning, and the lines
// after it then fall into whatever section is open.
constexpr std::size_t longest_line = 8190;

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

// Whether one of the eight bytes of `w` is a suspect byte: a byte equal to
// c is a zero byte of w ^ c in every byte, which the expression finds.
bool holds_suspect(std::uint64_t w)
{
    constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    auto zero_byte = [](std::uint64_t x) { return (x - ones) & ~x & highs; };
    return (zero_byte(w) | zero_byte(w ^ (ones * '\n')) | zero_byte(w ^ (ones * '\r')) |
            zero_byte(w ^ (ones * ';'))) != 0;
}

// How many leading bytes of `text` are surely none of the suspect bytes,
// found eight at a time.
std::size_t plain_prefix(std::string_view text)
{
    std::size_t i = 0;
    for (std::uint64_t w; i + 8 <= text.size(); i += 8) {
        std::memcpy(&w, text.data() + i, 8);
        if (holds_suspect(w))
            break;
    }
    return i;
}

struct scanned {
    text_fault fault = text_fault::none;
    std::size_t semicolons = 0; // each is written "\;", one byte longer
};

// One pass over the text, as this runs for every cell of every row.
scanned scan(std::string_view text)
{
    scanned found;
    for (std::size_t i = plain_prefix(text); i < text.size(); ++i) {
        char c = text[i];
        if (!suspect_bytes[static_cast<unsigned char>(c)])
            continue;
        // A line break ends the line early: what follows becomes lines of its own.
        if (c == '\n' || c == '\r')
            return {text_fault::line_break, found.semicolons};
        // The PBX reads a line as a C string: a NUL byte cuts the value
        // short, and a shorter secret still registers.
        if (c == '\0') {
            found.fault = text_fault::nul;
            continue;
        }
        ++found.semicolons;
        if (found.fault == text_fault::none && comment_marker_at(text, i))
            found.fault = text_fault::comment_marker;
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
// starts with '#' a directive such as #include, and one that starts with
// '\' an escape, which before a blank makes the PBX stop reading the file.
// A '=' moves the split between key and value, a plain ';' ends the line
// there, and a '+' at the end of a key turns "key+=" into an append to the
// previous value.
bool ends_a_key(std::string_view key)
{
    std::size_t first = key.find_first_not_of(" \t\v\f");
    if (first != std::string_view::npos &&
        (key[first] == '[' || key[first] == '#' || key[first] == '\\'))
        return true;
    if (!key.empty() && key.back() == '+')
        return true;
    return key.find_first_of("=;") != std::string_view::npos;
}

const char *too_long(std::size_t line_size)
{
    return line_size > longest_line ? "a line too long for the PBX" : nullptr;
}

// The PBX finds the template a section inherits from by its name, in any
// letter case, and takes the first section of that name, template or not:
// a peer of that name would become every WebRTC peer's parent.
bool names_the_template(std::string_view value)
{
    const std::string_view name = "webrtc";
    if (value.size() != name.size())
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if ((value[i] | 0x20) != name[i]) // ASCII letters in either case
            return false;
    return true;
}

} // namespace

key_check check_key(std::string_view key)
{
    return {scan(key).fault, ends_a_key(key), key.size()};
}

const char *setting_hazard(const key_check &key, std::string_view value, std::size_t suffix_size)
{
    scanned text = scan(value);
    if (const char *hazard = describe(std::max(key.fault, text.fault)))
        return hazard;
    if (key.ends_key)
        return "a character that ends a key";
    return too_long(key.size + 3 + value.size() + text.semicolons + suffix_size);
}

const char *text_hazard(std::string_view value)
{
    return describe(scan(value).fault);
}

const char *header_hazard(std::string_view value, std::string_view end)
{
    if (const char *hazard = text_hazard(value))
        return hazard;
    // "]" would end the section name early, and the rest could make the
    // section a template or inherit from another; ";" cuts the header short.
    if (value.find(']') != std::string_view::npos)
        return "a closing bracket";
    if (value.find(';') != std::string_view::npos)
        return "a semicolon";
    if (const char *hazard = too_long(1 + value.size() + end.size() - 1))
        return hazard;
    return names_the_template(value) ? "the name of the WebRTC template" : nullptr;
}
