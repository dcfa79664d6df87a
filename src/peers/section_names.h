#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "util/console.h"

// The names of the sections another peer file holds, as the PBX reads them.
// The PBX reads all three files into one configuration, so a PJSIP object
// named in two of them makes it reject every object of the file.

// Calls `found` with the name of each section of the file at `path` that is
// no template, cut to the length the PBX keeps; a name repeated by the
// section right after it is given once, as a view that lasts for the call
// alone: the file is read a window at a time. A path that leads to no regular
// file holds no names. Returns false, with the failing call in `cause`, when
// the file exists but cannot be read.
bool read_section_names(const std::string &path, const std::function<void(std::string_view)> &found,
                        failure_cause &cause);
