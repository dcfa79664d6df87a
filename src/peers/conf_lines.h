#pragma once

#include <string_view>

#include "files/output_file.h"

// The two kinds of line a peer file holds, in the PBX's configuration
// syntax. They write what they are given: unsafe_text says what may not be.

// "[name" followed by `end`: "]\n", or "](webrtc)\n" for a section that
// inherits the template.
void put_header(output_file &out, std::string_view name, std::string_view end);

// "key = value" and `suffix`, then a line feed. Every ';' of the value is
// written as "\;": the PBX would read a plain one as the start of a comment
// and cut the value there, and it reads "\;" back as ';'.
void put_setting(output_file &out, std::string_view key, std::string_view value,
                 std::string_view suffix = {});
