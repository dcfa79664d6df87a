#pragma once

#include <cstddef>
#include <string_view>

// Whether a line that is about to be written tells the PBX what the table
// means. The line is read back as the PBX's parser will read it
// (conf/line_reader.h) and compared with what it is meant to say: it must
// fall in the row's section, and its key must come back exactly. So must
// its value where a difference changes what the PBX does: a credential,
// and a value that another text is appended to, such as mode 0's mailbox;
// any other value may lose to the PBX the bytes below 33 at its ends, and
// is taken as the PBX reads it. A line of plain bytes is seen to come back
// by one scan, without the reading.
//
// A line that would not come back is refused, and the text that explains
// it is named as the console names it, the worst first: "a line break",
// "a NUL byte", "a block comment marker"; then, for a header, "a closing
// bracket" or "a semicolon", for a setting, "a character that ends a key";
// then "a line too long for the PBX", "a blank at either end", and, for a
// difference that none of these explain, "a text the PBX would read
// otherwise". A few texts are refused although the line would come back,
// as they always were: a carriage return, which other readers of the file
// and SIP itself take for the end of a line; a block comment marker, safe
// only while every ';' of a value is escaped; and a '+' at the end of a
// key, which would append to the key's earlier value if the blank before
// the '=' were ever dropped.

// What a text holds that would break any line, the worst last.
enum class text_fault { none, comment_marker, nul, line_break };

// What a key holds, checked once for every row that writes it.
struct key_check {
    std::string_view key;
    text_fault fault = text_fault::none;
    const char *hazard = nullptr; // why the key would not come back otherwise
};
key_check check_key(std::string_view key);

// A setting line: the key, " = ", the value with its ';' escaped, then
// `suffix`. `exact` when the value must come back as it is; one with a
// suffix always must.
const char *setting_hazard(const key_check &key, std::string_view value,
                           std::string_view suffix = {}, bool exact = false);

// A section header "[name" followed by `end`: "]\n" or "](webrtc)\n". The
// name comes back as the PBX keeps it, its first 79 bytes. The WebRTC
// template's name is refused here too, with the text checks: a section of
// that name would become the parent of every WebRTC peer.
const char *header_hazard(std::string_view name, std::string_view end);

// What a value holds that would break any line it were written on; for a
// value that decides what is written without being written itself.
const char *text_hazard(std::string_view value);
