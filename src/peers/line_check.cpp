#include "peers/line_check.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "conf/line_reader.h"
#include "conf/line_writer.h"

namespace
{

const char *const other_reading = "a text the PBX would read otherwise";

// ";--" opens a block comment that hides every later line up to "--;", and
// a stray "--;" makes the parser drop every later section. Both markers hold
// a semicolon, so they are looked for only around one.
bool comment_marker_at(std::string_view text, std::size_t semicolon)
{
    return text.substr(semicolon + 1, 2) == "--" ||
           (semicolon >= 2 && text.substr(semicolon - 2, 2) == "--");
}

// The bytes that may start trouble anywhere in a line; one look-up per byte
// keeps the common case, a byte that is none of them, cheap.
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
        if (c == '\n' || c == '\r')
            return {text_fault::line_break, found.semicolons};
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

bool blank_at_either_end(std::string_view text)
{
    return !text.empty() && (is_conf_blank(text.front()) || is_conf_blank(text.back()));
}

// What the PBX would see first of a key, after the blanks it strips: a '['
// makes the line a section header, a '#' a directive, a '\' an escape. A
// '=' or a plain ';' would move or cut the key, and a '+' at its end turns
// "key+=" into an append to the key's earlier value.
bool ends_a_key(std::string_view key)
{
    std::string_view seen = strip_blanks(key);
    if (!seen.empty() && (seen.front() == '[' || seen.front() == '#' || seen.front() == '\\'))
        return true;
    if (!key.empty() && key.back() == '+')
        return true;
    return key.find_first_of("=;") != std::string_view::npos;
}

const char *too_long(std::size_t line_size)
{
    return line_size > longest_conf_line ? "a line too long for the PBX" : nullptr;
}

// Whether the parser makes one thing of `line`, which leaves no block
// comment open, and `meant` says that thing is what the line is to say.
template <typename F> bool reads_back_as(const std::string &line, F &&meant)
{
    conf_reader reader;
    int parts = 0;
    bool as_meant = false;
    reader.read(line, [&](const conf_line &found) {
        if (found.is != conf_line::kind::nothing && parts++ == 0)
            as_meant = meant(found);
    });
    return parts == 1 && as_meant && !reader.in_comment();
}

// Whether the setting line comes back with the key and the value it is
// meant to have.
bool reads_back(std::string_view key, std::string_view value, std::string_view suffix, bool exact)
{
    std::string line;
    text_sink sink{line};
    put_setting(sink, key, value, suffix);
    std::string meant(exact ? value : strip_blanks(value));
    meant += suffix;
    return reads_back_as(line, [&](const conf_line &read) {
        return read.is == conf_line::kind::setting && !read.appends && !read.object &&
               read.name == key && read.value == meant;
    });
}

bool header_reads_back(std::string_view name, std::string_view end)
{
    std::string line;
    text_sink sink{line};
    put_header(sink, name, end);
    std::string_view options = end.substr(1, end.size() - 2); // between "]" and the line feed
    bool has_options = !options.empty();
    if (has_options)
        options = options.substr(1, options.size() - 2); // less the parentheses
    return reads_back_as(line, [&](const conf_line &read) {
        return read.is == conf_line::kind::header &&
               read.name == name.substr(0, longest_section_name) &&
               read.has_options == has_options && read.value == options;
    });
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
    key_check check{key, scan(key).fault, nullptr};
    if (ends_a_key(key))
        check.hazard = "a character that ends a key";
    else if (strip_blanks(key).empty())
        check.hazard = "an empty key";
    else if (blank_at_either_end(key))
        check.hazard = "a blank at either end";
    else if (check.fault == text_fault::none && !reads_back(key, "v", {}, true))
        check.hazard = other_reading;
    return check;
}

const char *setting_hazard(const key_check &key, std::string_view value, std::string_view suffix,
                           bool exact)
{
    scanned text = scan(value);
    std::size_t line = key.key.size() + 3 + value.size() + text.semicolons + suffix.size();
    bool blank_ends = blank_at_either_end(value);
    // A plain line, as most are: nothing in it that the parser reads as
    // anything but the bytes of the key and the value.
    if (text.fault == text_fault::none && key.fault == text_fault::none &&
        key.hazard == nullptr && text.semicolons == 0 && !blank_ends && line <= longest_conf_line)
        return nullptr;
    if (const char *hazard = describe(std::max(key.fault, text.fault)))
        return hazard;
    if (key.hazard != nullptr)
        return key.hazard;
    if (const char *hazard = too_long(line))
        return hazard;
    exact = exact || !suffix.empty();
    if (exact && blank_ends)
        return "a blank at either end";
    return reads_back(key.key, value, suffix, exact) ? nullptr : other_reading;
}

const char *text_hazard(std::string_view value)
{
    return describe(scan(value).fault);
}

const char *header_hazard(std::string_view name, std::string_view end)
{
    scanned text = scan(name);
    if (const char *hazard = describe(text.fault))
        return hazard;
    // "]" would end the section name early, and the rest could make the
    // section a template or inherit from another; ";" cuts the header short.
    if (name.find(']') != std::string_view::npos)
        return "a closing bracket";
    if (text.semicolons != 0)
        return "a semicolon";
    if (const char *hazard = too_long(1 + name.size() + end.size() - 1))
        return hazard;
    // Bytes the parser strips, or a name it cuts, need a look at what it
    // makes of the line.
    bool plain = !blank_at_either_end(name) && name.size() <= longest_section_name;
    if (!plain && !header_reads_back(name, end))
        return other_reading;
    return names_the_template(name) ? "the name of the WebRTC template" : nullptr;
}
