#pragma once

#include <cstddef>
#include <string_view>

// The PBX reads a peer file line by line, so text from the database must not
// be able to change the file's structure. These return what makes a line
// unsafe, as the console names it ("a line break", ...), or null when the
// line may be written. They hold for both forms of peer file.

// What a text holds that would break a line, from harmless to worst: when a
// line holds several, the worst is the one named.
enum class text_fault { none, comment_marker, nul, line_break };

// What a key holds, checked once for every row that writes it.
struct key_check {
    text_fault fault = text_fault::none;
    bool ends_key = false; // a character that would end or change the key
    std::size_t size = 0;  // its length as written
};
key_check check_key(std::string_view key);

// A setting line "key = value" followed by `suffix_size` more bytes; the
// value's plain ';' are escaped on writing.
const char *setting_hazard(const key_check &key, std::string_view value,
                           std::size_t suffix_size = 0);

// A section header "[value" followed by `end`, which ends with the line feed.
const char *header_hazard(std::string_view value, std::string_view end);

// What a value holds that would break any line it were written on; for a
// value that decides what is written without being written itself.
const char *text_hazard(std::string_view value);
