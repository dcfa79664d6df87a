#pragma once

#include <string_view>
#include <vector>

class output_file;

// What a column does in every row.
enum class rule_kind {
    skip,    // writes nothing
    header,  // its value names the section: "[value]"
    codec,   // "1" or empty enables the codec its name carries
    setting, // "key = value"; the kind of every column no keyword claims
};

struct rule {
    const char *keyword; // tested with column_match
    rule_kind kind;
};

// A mode's chain: the first keyword that accepts a column's name decides its
// kind. Every chain ends with the codec keywords, which with_codecs appends.
using rule_chain = std::vector<rule>;
rule_chain with_codecs(rule_chain chain);

// How a mode's sections differ from the others'.
struct variant {
    const char *header_end;    // after the extension: "]\n" or "](webrtc)\n"
    const char *allow_end;     // after the codec list on the allow line
    bool drops_empty_values;   // empty values write nothing, except the secrets'
    bool adds_mailbox_context; // a mailbox without '@' gains "@default"
    bool traces_codecs;        // prints each row's codec list on the console
};

// True when `name` equals `keyword` or a leading part of it, ignoring ASCII
// letter case; an empty name matches every keyword.
bool column_match(const char *name, const char *keyword);

// The key a column writes: its name without the first character.
std::string_view handle_string(const char *name);

// Writes one section per row of the stored result into `out`. Returns 0, or
// -1 after refusing a row whose text would break the file. A failed write
// stops the walk early; committing the file reports it.
int translate_rows(output_file &out, const rule_chain &chain, const variant &v);
