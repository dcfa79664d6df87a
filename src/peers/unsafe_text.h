#pragma once

#include <string_view>

// The PBX reads a peer file line by line, so text from the database must not
// be able to change the file's structure. These return what makes a text
// unsafe, as the console names it ("a line break", ...), or null when the
// line may be written.

// A setting line "key = value"; the value's plain ';' are escaped on writing.
const char *setting_hazard(std::string_view key, std::string_view value);

// A section header "[value]...".
const char *header_hazard(std::string_view value);
