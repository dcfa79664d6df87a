#include "peers/taken_names.h"

#include <algorithm>

#include "peers/section_names.h"

namespace
{

// The names of the other files are copied into blocks of this size; a
// name, cut as the PBX cuts it, is far shorter.
constexpr std::size_t block_size = 1 << 16;

// names_ counts rows from 1 up, and the other files from the top down.
std::uint32_t mark_of_file(std::size_t file)
{
    return static_cast<std::uint32_t>(0xffffffffu - file);
}

} // namespace

// A copy of `name` that lives as long as this does: the file it came from
// is read a window at a time. Names come cut to the PBX's 79 bytes, so one
// always fits in a block.
std::string_view taken_names::keep(std::string_view name)
{
    if (kept_.empty() || block_size - used_ < name.size()) {
        kept_.push_back(std::make_unique<char[]>(block_size));
        used_ = 0;
    }
    char *copy = kept_.back().get() + used_;
    std::copy(name.begin(), name.end(), copy);
    used_ += name.size();
    return {copy, name.size()};
}

bool taken_names::read_other_files(const std::vector<std::string> &paths)
{
    for (const std::string &path : paths) {
        std::uint32_t file = mark_of_file(files_.size());
        files_.push_back(path);
        auto note = [this, file](std::string_view name) { names_.insert(keep(name), file); };
        if (!read_section_names(path, note, cause_)) {
            failed_file_ = path;
            return false;
        }
    }
    return true;
}

taken_names::holder taken_names::take(std::string_view name, std::uint32_t row)
{
    std::uint32_t first = names_.insert(name, row);
    if (first == row)
        return {true, {}};
    if (first > mark_of_file(files_.size()))
        return {false, files_[mark_of_file(0) - first]};
    return {false, {}};
}
