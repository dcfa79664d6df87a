#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// How the PBX's configuration parser (main/config.c of its 20 and 22
// releases) reads a file. It reads a line at a time through a buffer of
// 8192 bytes and handles it as a C string, so that a NUL byte ends what it
// sees of a line. It takes "\;" for ';', a ';' for the start of a comment,
// and ";--" ... "--;" for a block comment that may span lines; then it
// strips every byte below 33 from both ends of what is left and reads a
// line that starts with '[' as a section header, one that starts with '#'
// as a directive, and any other as a setting, "key = value", "key => value"
// or "key += value", whose key and value it strips again.
//
// This is the program's one model of that parser: whether a line that is
// about to be written tells the PBX what it is meant to, and which sections
// the files the PBX reads beside ours hold, are both decided by reading
// them here.

// A line with more bytes than this before its line feed does not fit the
// parser's buffer: it is skipped whole, with a warning.
constexpr std::size_t longest_conf_line = 8190;

// The parser keeps the first 79 bytes of a section's name.
constexpr std::size_t longest_section_name = 79;

// What one line is to the parser. Its texts are views of the line read, or
// of the reader's copy of it: they last until the reader reads again.
struct conf_line {
    enum class kind {
        nothing,   // blank, all comment, too long, or dropped with a warning
        header,    // "[name]" or "[name](options)": a new section
        directive, // "#include", "#tryinclude" or "#exec" with its argument
        setting,   // a key and its value
        fatal,     // a line for which the parser gives up the whole file
    };
    kind is = kind::nothing;
    // A header: the section's name, cut to the bytes kept. A directive: its
    // word, in lower case. A setting: its key.
    std::string_view name;
    // A header: what its parentheses hold. A directive: its argument, less
    // the quotes or angle brackets around it. A setting: its value.
    std::string_view value;
    bool has_options = false; // a header with "(...)" right after its "]"
    bool appends = false;     // "key += value": adds to the key's earlier value
    bool object = false;      // "key => value"
};

// Whether a header's options make its section a template, "(!)", which is
// no object of its own.
bool is_template(const conf_line &header);

// The parser's state between lines, and the reading of each.
class conf_reader
{
  public:
    // Reads one line of a file: its bytes up to and with its line feed, or
    // the last bytes of a file that does not end with one. `found` is called
    // with what the parser makes of each part of it that it reads as a
    // line: the whole line but for one too long for the buffer that holds a
    // NUL byte, whose parts after the buffer's first are lines of their own.
    template <typename F> void read(std::string_view line, F &&found)
    {
        bool skipping = false;
        for (std::size_t at = 0; at < line.size();) {
            std::string_view piece = line.substr(at, buffer_bytes);
            at += piece.size();
            std::string_view text = piece.substr(0, piece.find('\0'));
            bool overflows = text.size() == buffer_bytes && text.back() != '\n';
            // The parser reads on past a line that fills its buffer, up to
            // and with the first piece that does not.
            if (skipping) {
                skipping = overflows;
            } else if (overflows) {
                skipping = true;
                ++lines_;
            } else {
                found(read_text(text));
            }
        }
    }

    // Whether the lines read leave the parser within a block comment, or
    // after a stray "--;", where it ignores every line.
    bool in_comment() const { return comment_ != 0; }

  private:
    // The bytes one read of the buffer takes at most.
    static constexpr std::size_t buffer_bytes = longest_conf_line + 1;

    conf_line read_text(std::string_view text);
    bool take_comments(const char *&line);

    int comment_ = 0;       // depth of block comments; -1 after a stray "--;"
    std::size_t lines_ = 0; // lines read, for the byte order mark of the first
    std::string buffer_;    // a line being rid of its comments
};

// `text` less the bytes below 33 at both ends, as the parser strips it.
std::string_view strip_blanks(std::string_view text);

// Whether the byte is one the parser strips from the ends of a text.
inline bool is_conf_blank(char c)
{
    return static_cast<unsigned char>(c) < 33;
}
