#pragma once

#include <string>
#include <vector>

#include "peers/rules.h"

class output_file;

// The one walk over the rows of the stored result, for both forms of file.

// Writes one section per row into `out`, in the given form. In the PJSIP
// form no row may take a name that one of `other_files`, the other peer
// files the PBX reads with this one, holds. Returns 0, or -1 after refusing
// a row that would make the PBX read the file otherwise than the table means
// it, or after failing to read another file. A failed write is left for
// committing the file to report.
int translate_rows(output_file &out, const rule_chain &chain, const variant &v, peer_form form,
                   const std::vector<std::string> &other_files);
