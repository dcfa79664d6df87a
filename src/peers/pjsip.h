#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "peers/rules.h"

// The PJSIP form: a row becomes an endpoint section, an auth section when it
// has a secret, an aor section that says where the phone registers, and for
// a fixed host an identify section, all named after the row. Setting columns
// translate to endpoint options through one table (pjsip.cpp); a column the
// table lacks is left out, since the PBX drops an endpoint with an option it
// does not know.

struct pjsip_column; // how one column translates: a row of the table

// What the PJSIP form keeps for a whole result.
struct pjsip_plan {
    static constexpr std::size_t no_column = -1;

    std::vector<const pjsip_column *> columns; // each column's translation, or null
    std::size_t media_column = no_column;      // where the media_encryption line goes
    std::string_view name_keyword;             // the chain's header keyword
    std::unordered_set<std::string> names;     // the names of the rows written so far
};

// Finds each setting column's translation once, and prints a note for each
// one that has none.
pjsip_plan plan_pjsip(const std::vector<column_plan> &plan, const rule_chain &chain);

// Writes the sections of one row. A refused row writes nothing: everything
// is checked before the first line goes out.
refusal write_pjsip_row(output_file &out, const std::vector<column_plan> &plan, row_view cells,
                        const variant &v, pjsip_plan &pjsip);
