#include "peers/names.h"

#include <algorithm>
#include <array>
#include <sys/stat.h>

#include "conf/line_reader.h"

namespace
{

// The names of files and rows are copied into blocks of this size; a name,
// cut as the PBX cuts it, is far shorter.
constexpr std::size_t block_size = 1 << 16;

// names_ counts rows from 1 up, and the files from the top down.
std::uint32_t mark_of_file(std::size_t file)
{
    return static_cast<std::uint32_t>(0xffffffffu - file);
}

// The user part of a SIP URI carries letters, digits, the unreserved marks
// and the user-unreserved ones unescaped (RFC 3261, 25.1). Of those the PBX
// splits references on ',' and cuts lines at ';', so neither may stand in a
// name; a blank, '%' (an escape), '@', ':' and every other byte would be
// escaped or end the user part.
constexpr std::array<bool, 256> pjsip_name_bytes = [] {
    std::array<bool, 256> in{};
    for (int c = 0; c < 256; ++c)
        in[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    for (const char *mark = "-_.!~*'()&=+$?/"; *mark != '\0'; ++mark)
        in[static_cast<unsigned char>(*mark)] = true;
    return in;
}();

// The PBX keeps the first 79 bytes of a section name, but references to it
// whole: a longer name would point at no object.
bool pjsip_keeps_name(std::string_view name)
{
    if (name.size() > longest_section_name)
        return false;
    for (char c : name)
        if (!pjsip_name_bytes[static_cast<unsigned char>(c)])
            return false;
    return true;
}

} // namespace

const char *name_hazard(peer_form form, std::string_view name)
{
    if (form == peer_form::pjsip) {
        if (name.empty())
            return "an empty name";
        return pjsip_keeps_name(name) ? nullptr : "a name PJSIP would change";
    }
    if (!name.empty() && (is_conf_blank(name.front()) || is_conf_blank(name.back())))
        return "a blank at either end";
    // chan_sip keeps a peer under the first 79 bytes of its name, and then
    // refuses a phone that authenticates with the whole name.
    if (name.size() > longest_section_name)
        return "a name chan_sip would cut";
    if (same_word(name, "general") || same_word(name, "authentication"))
        return "the name of a chan_sip settings section";
    return nullptr;
}

// A copy of `name` that lives as long as this does: the files it may come
// from are read a window at a time. Names come cut to the PBX's 79 bytes,
// so one always fits in a block.
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

// The name as the form's PBX tells it from others: for chan_sip its first
// 79 bytes, which the sets compare in any letter case; for PJSIP the name
// itself.
std::string_view taken_names::compared(std::string_view name) const
{
    return form_ == peer_form::pjsip ? name : name.substr(0, longest_section_name);
}

bool taken_names::read_file(const std::string &path, bool is_peer_file)
{
    files_.push_back({path, is_peer_file});
    auto note = [this](std::string_view name, const std::string &found_in, bool is_template) {
        // A section the PBX would take for the WebRTC template, template
        // or not, whatever its letter case.
        if (same_word(name, "webrtc") && webrtc_holder_.empty())
            webrtc_holder_ = found_in;
        if (is_template)
            return;
        std::uint32_t mark = mark_of_file(files_.size() - 1);
        // A file that an include led to is a source of its own. The file's
        // own names come first, then those of each file it includes.
        if (found_in != files_.back().path) {
            files_.push_back({found_in, false});
            mark = mark_of_file(files_.size() - 1);
        }
        names_.insert(keep(compared(name)), mark);
    };
    if (read_section_names(path, config_dir_, seen_, note, cause_))
        return true;
    failed_file_ = cause_.path;
    return false;
}

bool taken_names::read_files(const std::string &config_dir, const std::string &own_file,
                             const std::vector<std::string> &peer_files,
                             const std::string &including)
{
    config_dir_ = config_dir;
    struct stat st;
    if (stat(own_file.c_str(), &st) == 0)
        seen_.add(st.st_dev, st.st_ino);
    // A peer file's rows take some two hundred bytes or more each.
    std::size_t bytes = 0;
    for (const std::string &path : peer_files)
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            bytes += static_cast<std::size_t>(st.st_size);
    names_.reserve(bytes / 128);
    for (const std::string &path : peer_files)
        if (!read_file(path, true))
            return false;
    return read_file(including, false);
}

bool taken_names::read_current_peers(const std::string &own_file)
{
    file_set just_this;
    auto count = [this](std::string_view name, const std::string &, bool is_template) {
        if (is_template)
            return;
        std::string_view kept = keep(compared(name));
        auto next = static_cast<std::uint32_t>(current_peers_ + 1);
        if (current_.insert(kept, next) == next)
            ++current_peers_;
    };
    if (read_section_names(own_file, config_dir_, just_this, count, cause_))
        return true;
    failed_file_ = cause_.path;
    return false;
}

taken_names::holder taken_names::take(std::string_view name, std::uint32_t row)
{
    std::string_view as_compared = compared(name);
    std::uint32_t first = names_.insert(as_compared, row);
    if (first == row) {
        // Marked 0: a name the file being replaced did not hold.
        if (current_peers_ != 0 && current_.insert(as_compared, 0) != 0)
            ++kept_peers_;
        return {};
    }
    if (first <= mark_of_file(files_.size()))
        return {"the name of an earlier row", {}};
    const source &had = files_[mark_of_file(0) - first];
    return {had.is_peer_file ? "the name of a row in" : "the name of a section in", had.path};
}
