#pragma once

#include <string_view>

// The PBX reads a peer file line by line, so text from the database must not
// be able to change the file's structure. These return what makes a text
// unsafe, as the console names it ("a line break", ...), or null when the
// line may be written.

// What a key holds, checked once for every row that writes it.
struct key_check {
    unsigned char fault = 0; // the worst of it, as setting_hazard ranks what a text holds
    bool ends_key = false;   // a character that would end the key
};
key_check check_key(std::string_view key);

// A setting line "key = value"; the value's plain ';' are escaped on writing.
const char *setting_hazard(const key_check &key, std::string_view value);
const char *setting_hazard(std::string_view key, std::string_view value);

// A section header "[value]...".
const char *header_hazard(std::string_view value);
