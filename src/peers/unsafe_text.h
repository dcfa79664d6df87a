#pragma once

#include <string_view>

// The PBX reads a peer file line by line, so text from the database must not
// be able to change the file's structure. These return what makes a text
// unsafe, as the console names it ("a line break", ...), or null when the
// line may be written.

// What a text holds that would break a line, from harmless to worst: when a
// line holds several, the worst is the one named.
enum class text_fault { none, comment_marker, nul, line_break };

// What a key holds, checked once for every row that writes it.
struct key_check {
    text_fault fault = text_fault::none;
    bool ends_key = false; // a character that would end the key
};
key_check check_key(std::string_view key);

// A setting line "key = value"; the value's plain ';' are escaped on writing.
const char *setting_hazard(const key_check &key, std::string_view value);

// A section header "[value]...".
const char *header_hazard(std::string_view value);
