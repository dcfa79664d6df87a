#pragma once

#include <cstdint>
#include <vector>

#include "peers/names.h"
#include "peers/rules.h"

class output_file;

// The chan_sip form: a row is one section. Its header "[exten]" comes first,
// wherever the header column stands, so that every line of the row falls in
// the row's own section; then a "key = value" line for each setting column in
// column order, and the codec pair "disallow = all" and "allow = list". A
// second header column writes nothing, as in the PJSIP form.

// Writes the section of row number `row` (from 1), named as `naming` says,
// unless its name is taken. Its lines are checked in column order, and its
// name after them; on a refusal the section is left half written, and the
// run ends without the file.
refusal write_sip_row(output_file &out, const std::vector<column_plan> &plan, row_view cells,
                      const variant &v, const row_naming &naming, std::uint32_t row);
