#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "peers/names.h"
#include "peers/pjsip/columns.h"
#include "peers/rules.h"

class output_file;

// The PJSIP form: a row becomes an endpoint section, an auth section when it
// has a secret, an aor section that says where the phone registers, and for
// a fixed host an identify section, all named after the row. Setting columns
// translate to endpoint options through one table (pjsip/columns.cpp); a
// column the table lacks is left out, since the PBX drops an endpoint with an
// option it does not know.

// What the PJSIP form keeps for a whole result.
struct pjsip_plan {
    std::vector<const pjsip_column *> columns; // each column's translation, or null
    std::vector<key_check> value_lines;   // the key of the line that carries a value; empty: none
    std::size_t media_column = no_column; // where the media_encryption line goes
    pjsip_row row;                        // the row being written
    // The fixed hosts of the rows written, as the PBX tells them apart, each
    // with the ports given for it (0: any port).
    std::unordered_map<std::string, std::vector<unsigned>> hosts;
};

// Finds each setting column's translation once, and prints a note for each
// one that has none.
pjsip_plan plan_pjsip(const std::vector<column_plan> &plan);

// Writes the sections of row number `row` (from 1), named as `naming`
// says, unless its name is taken. A refused row writes nothing: everything
// is checked before the first line goes out. The row's texts must stay as
// they are until the last row is written, as those of a stored result do:
// the taken names keep the names of the rows.
refusal write_pjsip_row(output_file &out, const std::vector<column_plan> &plan, row_view cells,
                        const variant &v, pjsip_plan &pjsip, const row_naming &naming,
                        std::uint32_t row);
