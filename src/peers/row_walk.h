#pragma once

#include "peers/names.h"
#include "peers/rules.h"

class output_file;

// The one walk over the rows of the stored result, for both forms of file.

// Writes one section per row into `out`, in the given form. No row may take
// a name that `taken` holds, and each takes its own. `credentials` tells
// whether a row wrote a credential: a secret or its hash.
// Returns 0, or -1 after refusing a row that would make the PBX read the
// file otherwise than the table means it. A failed write is left for
// committing the file to report.
int translate_rows(output_file &out, const rule_chain &chain, const variant &v, peer_form form,
                   taken_names &taken, bool &credentials);
