#include "peers/unsafe_text.h"

namespace
{

// A line break ends the line early: what follows becomes lines of its own.
bool has_line_break(std::string_view text)
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// ";--" opens a block comment that hides every later line up to "--;", and
// a stray "--;" makes the parser drop every later section.
bool has_comment_marker(std::string_view text)
{
    return text.find(";--") != std::string_view::npos || text.find("--;") != std::string_view::npos;
}

} // namespace

const char *setting_hazard(std::string_view key, std::string_view value)
{
    if (has_line_break(key) || has_line_break(value))
        return "a line break";
    if (has_comment_marker(key) || has_comment_marker(value))
        return "a block comment marker";
    return nullptr;
}

const char *header_hazard(std::string_view value)
{
    if (has_line_break(value))
        return "a line break";
    if (has_comment_marker(value))
        return "a block comment marker";
    // "]" would end the section name early, and the rest could make the
    // section a template or inherit from another; ";" cuts the header short.
    if (value.find(']') != std::string_view::npos)
        return "a closing bracket";
    if (value.find(';') != std::string_view::npos)
        return "a semicolon";
    return nullptr;
}
