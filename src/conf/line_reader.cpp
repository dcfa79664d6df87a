#include "conf/line_reader.h"

#include <cstring>
#include <strings.h>

// Each step follows config_text_file_load() and process_text_line() of the
// PBX's main/config.c, in their order, so that the two can be read side by
// side. Where they work on a C string in place, so does this.

namespace
{

// The parser counts nested block comments up to this depth; one more
// opener makes it loop on its line for ever.
constexpr int deepest_comment = 128;

// The parser compares bytes as plain, signed chars in two places.
bool above_32_signed(char c)
{
    return static_cast<signed char>(c) > 32;
}

conf_line fatal()
{
    conf_line line;
    line.is = conf_line::kind::fatal;
    return line;
}

// "[name]", "[name](options)" and anything after either, which the parser
// ignores. `text` starts with the '['.
conf_line header(std::string_view text)
{
    std::size_t close = text.find(']');
    if (close == std::string_view::npos)
        return fatal(); // "no closing ']'"
    conf_line line;
    line.is = conf_line::kind::header;
    line.name = text.substr(1, close - 1).substr(0, longest_section_name);
    std::string_view after = text.substr(close + 1);
    if (!after.empty() && after.front() == '(') {
        std::size_t end = after.find(')');
        if (end == std::string_view::npos)
            return fatal(); // "no closing ')'"
        line.has_options = true;
        line.value = after.substr(1, end - 1);
    }
    return line;
}

// "#word argument": only include, tryinclude and exec are directives, and
// only with an argument; the parser warns of any other line and drops it.
conf_line directive(std::string_view text)
{
    text.remove_prefix(1);
    std::size_t end = 0;
    while (end < text.size() && above_32_signed(text[end]))
        ++end;
    std::string_view word = text.substr(0, end);
    // The byte that ends the word is overwritten by the end of the string.
    std::string_view argument =
        end < text.size() ? strip_blanks(text.substr(end + 1)) : std::string_view();
    conf_line line;
    using namespace std::string_view_literals;
    for (std::string_view known : {"include"sv, "tryinclude"sv, "exec"sv})
        if (word.size() == known.size() && strncasecmp(word.data(), known.data(), word.size()) == 0)
            line.name = known;
    if (line.name.empty() || argument.empty())
        return line;
    char first = argument.front();
    if (first == '"' || first == '<') {
        char last = first == '<' ? '>' : '"';
        if (argument.back() == last)
            argument =
                argument.size() == 1 ? std::string_view() : argument.substr(1, argument.size() - 2);
    }
    line.is = conf_line::kind::directive;
    line.value = argument;
    return line;
}

// "key = value", "key => value" or "key += value". A leading '\' escapes
// the key's first byte, so that a key may start with '[' or '#'.
conf_line setting(std::string_view text)
{
    bool escaped = text.front() == '\\';
    if (escaped) {
        text.remove_prefix(1);
        if (text.empty() || !above_32_signed(text.front()))
            return fatal(); // "Invalid escape"
    }
    std::size_t equals = text.find('=', escaped ? 1 : 0);
    if (equals == std::string_view::npos)
        return {}; // "No '=' (equal sign)"
    conf_line line;
    line.is = conf_line::kind::setting;
    std::string_view key = text.substr(0, equals);
    std::string_view value = text.substr(equals + 1);
    if (equals > (escaped ? 1u : 0u) && text[equals - 1] == '+') {
        line.appends = true;
        key.remove_suffix(1);
    } else if (!value.empty() && value.front() == '>') {
        line.object = true;
        value.remove_prefix(1);
    }
    line.name = strip_blanks(key);
    line.value = strip_blanks(value);
    if (line.name.empty())
        return {}; // "No variable name"
    return line;
}

// What a line, comments gone and blanks stripped, is to the parser.
conf_line parse(std::string_view text)
{
    if (text.empty())
        return {};
    if (text.front() == '[')
        return header(text);
    if (text.front() == '#')
        return directive(text);
    return setting(text);
}

} // namespace

bool is_template(const conf_line &header)
{
    std::string_view options = header.value;
    for (;;) {
        std::size_t comma = options.find(',');
        if (options.substr(0, comma) == "!")
            return true;
        if (comma == std::string_view::npos)
            return false;
        options.remove_prefix(comma + 1);
    }
}

std::string_view strip_blanks(std::string_view text)
{
    while (!text.empty() && is_conf_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_conf_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Rids the C string in buffer_ of its comments as the parser does, and
// points `line` at what is left to read, or at null when the whole line is
// within a block comment. False for a line the parser would never finish.
bool conf_reader::take_comments(const char *&line)
{
    char *buf = buffer_.data();
    char *new_buf = buf;
    char *process_buf = comment_ != 0 ? nullptr : buf;
    char *comment_p;
    while ((comment_p = std::strchr(new_buf, ';')) != nullptr) {
        if (comment_p > new_buf && comment_p[-1] == '\\') {
            // "\;" is a ';' of the text.
            std::memmove(comment_p - 1, comment_p, std::strlen(comment_p) + 1);
            new_buf = comment_p;
        } else if (comment_p[1] == '-' && comment_p[2] == '-' && comment_p[3] != '-') {
            if (comment_ >= deepest_comment)
                return false;
            *comment_p = '\0';
            new_buf = comment_p + 3;
            ++comment_;
        } else if (comment_p >= new_buf + 2 && comment_p[-1] == '-' && comment_p[-2] == '-') {
            // The end of a block comment; with none open, the parser counts
            // below zero and ignores every later line.
            --comment_;
            new_buf = comment_p + 1;
            if (comment_ == 0) {
                if (process_buf != nullptr) {
                    char *end = process_buf + std::strlen(process_buf);
                    std::memmove(end, new_buf, std::strlen(new_buf) + 1);
                    new_buf = end;
                } else {
                    process_buf = new_buf;
                }
            }
        } else if (comment_ == 0) {
            // A comment to the end of the line. The parser cuts it a little
            // earlier, over blanks only, which the strip takes anyway.
            *comment_p = '\0';
            new_buf = comment_p;
        } else {
            new_buf = comment_p + 1;
        }
    }
    line = process_buf;
    return true;
}

// `text` is what one read of the buffer gave, up to its first NUL byte.
conf_line conf_reader::read_text(std::string_view text)
{
    if (++lines_ == 1 && text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3); // a UTF-8 byte order mark
    if (text.find(';') == std::string_view::npos)
        return comment_ != 0 ? conf_line() : parse(strip_blanks(text));
    buffer_.assign(text);
    const char *left = nullptr;
    if (!take_comments(left))
        return fatal();
    return left != nullptr ? parse(strip_blanks(left)) : conf_line();
}
