#pragma once

#include <vector>

#include "peers/rules.h"

class output_file;

// The chan_sip form: a row is one section, "[exten]" where the header column
// stands, a "key = value" line for each setting column in column order, and
// the codec pair "disallow = all" and "allow = list".

// Writes the section of one row. On a refusal the section is left half
// written.
refusal write_sip_row(output_file &out, const std::vector<column_plan> &plan, row_view cells,
                      const variant &v);
