#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "util/console.h"

// The names of the sections that the files the PBX reads beside a peer file
// hold, read as the PBX reads them (conf/line_reader.h): the other peer
// files, and the file that includes them all, sip.conf or pjsip.conf, with
// every file that one includes.

// Files known by their device and inode, whatever path led to them.
class file_set
{
  public:
    // Adds the file; false when it was there already.
    bool add(dev_t dev, ino_t ino);

  private:
    std::vector<std::pair<dev_t, ino_t>> files_;
};

// Calls `found` with the name of each section of the file at `path`, cut to
// the bytes the PBX keeps, with the path of the file that holds it (the file
// itself, or one it includes), and whether the section is a template, which
// is no object of its own. A name repeated by the section right after it is
// given once. The name is a view that lasts for the call alone: the file is
// read a window at a time.
//
// "#include" and "#tryinclude" lines are followed as the PBX follows them: a
// relative path from `config_dir`, wildcards and braces expanded, at most
// ten files deep; "#exec" is never run, so what its command would print is
// not seen. A file that `seen` holds is not read, and each file read is
// added to it, so that no file is read twice and an include loop ends. A
// path that leads to no regular file holds no names. Returns false, with the
// file and the failing call in `cause`, when a file exists but cannot be
// read.
bool read_section_names(const std::string &path, const std::string &config_dir, file_set &seen,
                        const std::function<void(std::string_view name, const std::string &file,
                                                 bool is_template)> &found,
                        failure_cause &cause);
