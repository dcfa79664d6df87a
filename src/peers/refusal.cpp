#include "peers/refusal.h"

#include <cstdio>
#include <cstring>

#include "util/console.h"

namespace
{

// What to change for each hazard, as the cause line says it.
struct advice {
    const char *hazard;
    const char *in_value; // when the column's value holds it
    const char *in_name;  // when the column's name does; null: as for the value
};

const advice advices[] = {
    {"a line break", "remove the line breaks from the value", "rename the column"},
    {"a NUL byte", "remove the NUL bytes from the value", "rename the column"},
    {"a block comment marker", "remove \";--\" and \"--;\" from the value", "rename the column"},
    {"a closing bracket", "remove ']' from the row's name", nullptr},
    {"a semicolon", "remove ';' from the row's name", nullptr},
    {"a character that ends a key", nullptr,
     "rename the column: a key may hold no '=' or ';', nor start with '[', '#' or '\\', "
     "nor end with '+'"},
    {"an empty key", nullptr, "rename the column: a key is its name less the first character"},
    {"a line too long for the PBX", "shorten the value: the PBX reads at most 8190 bytes a line",
     nullptr},
    {"a blank at either end",
     "remove the blanks (bytes below 33) at the ends of the value, which the PBX would cut",
     "rename the column without blanks at its ends"},
    {"a text the PBX would read otherwise", "change the value: the PBX would not read it back",
     "rename the column: the PBX would not read its key back"},
    {"the name of the WebRTC template", "give the row another name", nullptr},
    {"an empty name", "give the row a name in its header column", nullptr},
    {"a name PJSIP would change",
     "use at most 79 letters, digits and -_.!~*'()&=+$?/ in the row's name", nullptr},
    {"a name chan_sip would cut", "shorten the row's name to at most 79 bytes", nullptr},
    {"the name of a chan_sip settings section", "give the row another name", nullptr},
    {"the name of an earlier row", "give one of the two rows another name", nullptr},
    {"the name of a row in",
     "a phone is in one table at a time: to move it, remove it from the other table and run "
     "that file's mode first",
     nullptr},
    {"the name of a section in", "give the row, or that section, another name", nullptr},
    {"the host of an earlier row",
     "PJSIP tells fixed hosts apart by address alone: give each a port of its own in a port "
     "column, or one host to one row",
     nullptr},
};

const char *fix_for(const refusal &refused)
{
    for (const advice &a : advices) {
        if (std::strcmp(a.hazard, refused.hazard) != 0)
            continue;
        if (refused.in_name && a.in_name != nullptr)
            return a.in_name;
        return a.in_value != nullptr ? a.in_value : a.in_name;
    }
    return "change the value";
}

// A name or value as the console shows it: bytes below 32 and 127 written
// as \xNN, so that a line break or an escape sequence in the table cannot
// break the line or the terminal, and at most 40 bytes of it.
std::string shown(std::string_view text)
{
    std::string out;
    for (char c : text.substr(0, 40)) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 32 || byte == 127) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return text.size() > 40 ? out + "..." : out;
}

} // namespace

void report_refusal(std::uint32_t row, std::string_view name, const refusal &refused,
                    const std::string &path)
{
    std::printf("Row %lu column %.*s holds %s%s%.*s,%s is left unchanged.\n",
                static_cast<unsigned long>(row), static_cast<int>(refused.column.size()),
                refused.column.data(), refused.hazard, refused.file.empty() ? "" : " ",
                static_cast<int>(refused.file.size()), refused.file.data(), path.c_str());
    std::string fix = fix_for(refused);
    if (!refused.takes.empty())
        fix = (refused.option.empty()
                   ? "give it a value that the PJSIP form takes for it: "
                   : "give it a value that PJSIP's " + std::string(refused.option) + " takes: ") +
              std::string(refused.takes);
    std::string named = name.empty() ? "no name" : shown(name);
    complain("peerloom: refuse %s: row %lu (%s) column %s holds %s%s%.*s; %s\n", path.c_str(),
             static_cast<unsigned long>(row), named.c_str(), shown(refused.column).c_str(),
             refused.hazard, refused.file.empty() ? "" : " ", static_cast<int>(refused.file.size()),
             refused.file.data(), fix.c_str());
}
