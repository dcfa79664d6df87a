#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "peers/pjsip/values.h"
#include "peers/rules.h"

// How the setting columns of a table become PJSIP options: one table
// (pjsip/columns.cpp), a row for each column the form writes, found by the
// column's key in any letter case.

// One line of the endpoint section, the value written with `suffix`.
struct endpoint_line {
    std::string_view key, value, suffix;
};

struct pjsip_column;

// What one row's sections are made of, gathered from its columns before
// anything is written: the row's name may come after its options. One is
// kept for the whole result and cleared for every row.
struct pjsip_row {
    static constexpr std::size_t no_line = -1;

    std::string_view name;
    std::vector<endpoint_line> lines;
    std::string_view secret;
    std::string md5secret; // in lower case, as the PBX compares it
    std::string_view host;
    host_kind host_is = host_kind::dynamic;
    std::string_view port;                    // of a fixed host; empty: any
    std::string_view host_column;             // the column that gave the host
    bool qualifies = false;                   // the aor checks that the phone is there
    bool dtls = false;                        // dtlsenable is true
    bool sdes = false;                        // encryption is true
    std::size_t media_line = no_line;         // lines[media_line] is media_encryption
    std::string codecs;                       // as in the chan_sip form
    std::string_view untaken;                 // the first column whose value PJSIP does not take
    const pjsip_column *untaken_as = nullptr; // and its translation

    void clear();
};

// Turns one non-empty value into endpoint lines or into what the other
// sections need; false for a value that the PBX would not take as meant.
using translator = bool (*)(const pjsip_column &, const column_plan &, std::string_view value,
                            pjsip_row &);

struct word_pair {
    std::string_view word, written;
};

struct pjsip_column {
    std::string_view column; // the column's key, that is its name less the first character
    translator translate;
    std::string_view option; // the endpoint option it writes, if one
    std::string_view takes;  // the values it takes, as the console tells them
    // A column copied as it stands: whether the option's handler takes a
    // value as meant; null for any text.
    bool (*accepts)(std::string_view value) = nullptr;
    std::string_view if_true = {};    // a true/false column's value for true; empty: no line
    std::string_view if_false = {};   // and for false
    const word_pair *words = nullptr; // a column of words: each word and what it writes
};

// The translation of the column with this key, or null when PJSIP has none.
const pjsip_column *find_translation(std::string_view key);

// Whether the column is one of the two that make the media_encryption line.
bool sets_media_encryption(const pjsip_column &t);

// The key of the line that carries the column's value as it stands, or
// nothing where the value only chooses what is written.
std::string_view value_line_key(const pjsip_column &t);

// Whether the column takes any text at all, rather than words it knows.
bool takes_any_text(const pjsip_column &t);

// Adds a line to the endpoint section.
inline void add_line(pjsip_row &row, std::string_view key, std::string_view value,
                     std::string_view suffix = {})
{
    row.lines.push_back({key, value, suffix});
}
