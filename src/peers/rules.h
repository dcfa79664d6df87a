#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "peers/line_check.h"
#include "peers/refusal.h"

// What a column does in every row, whichever form the file takes.
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
    // In the PJSIP form:
    bool endpoint_states_type; // each endpoint says "type = endpoint"; else its template does
    const char *section_end;   // after every section: "" or "\n" for a blank line
};

// The two forms of peer file: chan_sip peers, or the PJSIP objects that
// current PBX releases read instead.
enum class peer_form { sip, pjsip };

// True when `name` equals `keyword` or a leading part of it, ignoring ASCII
// letter case; an empty name matches every keyword.
bool column_match(std::string_view name, const char *keyword);

// Equal ignoring ASCII letter case, whole: how the PBX compares the names
// of options and the words it knows. Every cell of a translated column goes
// through a few of these, so they are done here rather than by a library
// call that would first have to find the word's length.
bool same_word(std::string_view text, std::string_view word);

// The key a column writes: its name without the first character.
std::string_view handle_string(std::string_view name);

// What one column does in every row. A column's rule depends only on its
// name, so it is decided once per result instead of once per cell.
struct column_plan {
    std::string_view name;
    rule_kind kind;
    std::string_view key;       // what a setting or codec column writes
    key_check key_safety;       // whether the key comes back as it is written
    bool keeps_empty;           // a secret: written even when empty
    bool takes_mailbox_context; // a mailbox: gains "@default" without '@'
    bool is_credential;         // a credential of chan_sip's, which must come back exactly
    std::string_view codec;     // a codec column: the codec's own name ("alaw" for "_al")
};

// The plan of every column, names given in the result's column order.
std::vector<column_plan> plan_columns(const std::vector<std::string_view> &names,
                                      const rule_chain &chain, const variant &v);

// The column that names each row's section: the first header column. A
// second one writes nothing. no_column when there is none.
constexpr std::size_t no_column = -1;
std::size_t name_column(const std::vector<column_plan> &plan);

// One row of the stored result. A value is read with the length the client
// library gives, so that a NUL byte inside it is seen; SQL NULL reads as
// the empty text.
struct row_view {
    const char *const *values;
    const unsigned long *lengths;

    std::string_view operator[](std::size_t i) const
    {
        return values[i] != nullptr ? std::string_view(values[i], lengths[i]) : std::string_view();
    }
};

// What follows a value on its line: "@default" for a mailbox of mode 0 that
// names no context, else nothing.
std::string_view mailbox_context(const column_plan &col, std::string_view value);

// A row's codec list: each enabled codec followed by a comma. `codec` is
// what the list names it: the column's key in the chan_sip form, the
// codec's own name in the PJSIP form.
void add_codec(std::string &codecs, std::string_view codec, std::string_view value);

// Prints the row's codec lines on the console and returns the list for the
// allow line, without its trailing comma.
std::string_view finish_codecs(std::string &codecs, const variant &v);
