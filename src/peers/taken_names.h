#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "peers/name_set.h"
#include "util/console.h"

// The names that no row of a PJSIP file may take: the section names of the
// other two peer files, which the PBX reads with it as one configuration,
// and the names of the rows before. Two objects of one type and name make
// the PBX reject every object of the file.
class taken_names
{
  public:
    // Reads the section names of the peer files at `paths`, those that exist
    // and are regular files. Returns false, with the file in failed_file()
    // and the failing call in cause(), when one exists but cannot be read.
    // A run calls this while the server works on its query.
    bool read_other_files(const std::vector<std::string> &paths);

    const std::string &failed_file() const { return failed_file_; }
    const failure_cause &cause() const { return cause_; }

    // Who had a name before row `row` (counted from 1) took it.
    struct holder {
        bool nobody;           // the name is the row's now
        std::string_view file; // the other file that has it; empty for an earlier row
    };
    // Takes `name` for row `row`, whose text must outlive this.
    holder take(std::string_view name, std::uint32_t row);

  private:
    std::string_view keep(std::string_view name);

    name_set names_; // where each was met first: a row, or (from the top down) an other file
    std::vector<std::string> files_;            // the other files, counted by names_
    std::vector<std::unique_ptr<char[]>> kept_; // the other files' names, copied
    std::size_t used_ = 0;                      // bytes used of kept_.back()
    std::string failed_file_;
    failure_cause cause_;
};
