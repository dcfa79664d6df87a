#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/console.h"

// The names of the sections another peer file holds, as the PBX reads them.
// The PBX reads all three files into one configuration, so a PJSIP object
// named in two of them makes it reject every object of the file.
struct section_names {
    std::string path;                    // the file they were read from
    std::string text;                    // its content; the names point into it
    std::vector<std::string_view> names; // in file order, a repeat of the one before left out
};

// Reads the names of the sections of the file at `path`, templates left out,
// each cut to the length the PBX keeps. A path that leads to no regular file
// holds no names. Returns false, with the failing call in `cause`, when the
// file exists but cannot be read.
bool read_section_names(const std::string &path, section_names &found, failure_cause &cause);
