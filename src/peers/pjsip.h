#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "peers/name_set.h"
#include "peers/pjsip_columns.h"
#include "peers/rules.h"
#include "util/console.h"

class output_file;

// The PJSIP form: a row becomes an endpoint section, an auth section when it
// has a secret, an aor section that says where the phone registers, and for
// a fixed host an identify section, all named after the row. Setting columns
// translate to endpoint options through one table (pjsip_columns.cpp); a
// column the table lacks is left out, since the PBX drops an endpoint with an
// option it does not know.

// What the PJSIP form keeps for a whole result.
struct pjsip_plan {
    static constexpr std::size_t no_column = -1;

    std::vector<const pjsip_column *> columns; // each column's translation, or null
    std::vector<key_check> value_lines;        // the key of the line that carries a value
    std::size_t media_column = no_column;      // where the media_encryption line goes
    std::string_view name_keyword;             // the chain's header keyword
    std::size_t name_column = no_column;       // the column that names a row
    name_set names;                            // every row's name, with the first row that has it
    // For each row, from the first: whether another row or file has its
    // name; `own`, `earlier_row` or the number of the other file, from 1.
    std::vector<std::uint32_t> name_taken;
    static constexpr std::uint32_t own = 0, earlier_row = 0xffffffff;
    std::vector<std::string> other_files; // the files name_taken counts
    pjsip_row row;                        // the row being written
};

// Finds each setting column's translation once, and prints a note for each
// one that has none. `rows` is how many rows the result has.
pjsip_plan plan_pjsip(const std::vector<column_plan> &plan, const rule_chain &chain,
                      std::size_t rows);

// Notes the name of the next row, given its values, before any row is
// written: two objects of one name make the PBX reject them all, so every
// row's name must be known. The texts must stay as they are until the last
// row is written, as those of a stored result do.
void note_row_name(pjsip_plan &pjsip, const char *const *values);

// Notes the rows' names that the peer file at `path` holds too, once every
// row's name is noted. Returns false, with the failing call in `cause`, when
// that file exists but cannot be read.
bool note_other_file(pjsip_plan &pjsip, const std::string &path, failure_cause &cause);

// Writes the sections of row number `row`, whose name has been noted. A
// refused row writes nothing: everything is checked before the first line
// goes out.
refusal write_pjsip_row(output_file &out, const std::vector<column_plan> &plan, row_view cells,
                        const variant &v, pjsip_plan &pjsip, std::uint32_t row);
