#include "conf/section_names.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <glob.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "conf/line_reader.h"
#include "files/target_path.h"
#include "files/unique_fd.h"

namespace
{

// The PBX reads the file it was asked for and ten more levels of files
// included from there.
constexpr int deepest_include = 10;

// The file is mapped a window at a time and scanned where the kernel keeps
// it: a run reads the other peer files whole, tens of megabytes for large
// tables, and copying them out first would cost as much again as the scan.
// A window bounds the memory this takes. A line longer than a window is
// taken for one the PBX skips: it is far longer than its buffer, and only a
// NUL byte in it, in a file the PBX's own administrator wrote, could make
// the PBX read some of it.
constexpr std::size_t window_size = 1 << 22;

using names_found = std::function<void(std::string_view, const std::string &, bool)>;

// Reads the lines of one file, handing on its section names and keeping
// the files it includes.
struct file_scan {
    const names_found &found;
    const std::string &path;
    conf_reader reader;
    std::vector<std::string> includes;
    std::string last; // the name given last: a name is most often the one before again
    bool started = false;

    void take(const conf_line &line)
    {
        if (line.is == conf_line::kind::header && line.name != last) {
            last = line.name;
            found(last, path, is_template(line));
        } else if (line.is == conf_line::kind::directive && line.name != "exec") {
            includes.emplace_back(line.value);
        }
    }

    void read_line(std::string_view line)
    {
        reader.read(line, [this](const conf_line &read) { take(read); });
    }

    // `text` holds whole lines. Outside a block comment only a line that
    // holds a '[', a '#', a ';' or a NUL byte can be a header or a directive
    // or change what later lines are, and within one only a ';' or a NUL
    // byte: the lines between them are passed over unread.
    void lines(std::string_view text)
    {
        std::size_t at = 0;
        if (!started && !text.empty()) {
            started = true; // the first line is read whole: it may begin with a byte order mark
            at = line_end(text, 0);
            read_line(text.substr(0, at));
        }
        // Where each mark is next, at `at` or after it; npos for none.
        const char marks[] = {';', '\0', '[', '#'};
        std::size_t next[4];
        for (int i = 0; i < 4; ++i)
            next[i] = text.find(marks[i], at);
        while (at < text.size()) {
            std::size_t hit = std::min(next[0], next[1]);
            if (!reader.in_comment())
                hit = std::min({hit, next[2], next[3]});
            if (hit == std::string_view::npos)
                return;
            std::size_t start = text.rfind('\n', hit);
            start = start == std::string_view::npos || start < at ? at : start + 1;
            at = line_end(text, hit);
            read_line(text.substr(start, at - start));
            for (int i = 0; i < 4; ++i)
                if (next[i] < at)
                    next[i] = text.find(marks[i], at);
        }
    }

    static std::size_t line_end(std::string_view text, std::size_t from)
    {
        std::size_t end = text.find('\n', from);
        return end == std::string_view::npos ? text.size() : end + 1;
    }
};

// Gives the scan the whole lines of `text`, which starts where a line does,
// and returns how many bytes it took: up to its last line feed, or all of
// it when it ends the file. `skipping` is set while within a line that
// outgrows a window.
std::size_t take_lines(std::string_view text, bool ends_file, bool &skipping, file_scan &scan)
{
    std::size_t skipped = 0;
    if (skipping) {
        std::size_t end = text.find('\n');
        if (end == std::string_view::npos)
            return text.size();
        skipped = end + 1;
        text.remove_prefix(skipped);
        skipping = false;
    }
    std::size_t whole = ends_file ? text.size() : text.rfind('\n') + 1;
    if (whole == 0 && !ends_file) {
        skipping = true;
        return skipped + text.size();
    }
    scan.lines(text.substr(0, whole));
    return skipped + whole;
}

// A mapped page past the end of a file that someone cuts short while it is
// scanned raises SIGBUS when it is touched; the scan then ends as a failed
// read would, rather than the run. Set while a window is scanned.
sigjmp_buf *cut_short = nullptr;

extern "C" void on_bus_error(int sig)
{
    if (cut_short != nullptr)
        siglongjmp(*cut_short, 1);
    std::signal(sig, SIG_DFL);
    raise(sig);
}

// take_lines, or false when the file was cut short under it.
bool guarded_take(std::string_view text, bool ends_file, bool &skipping, file_scan &scan,
                  std::size_t &taken)
{
    sigjmp_buf escape;
    if (sigsetjmp(escape, 1) != 0) {
        cut_short = nullptr;
        return false;
    }
    cut_short = &escape;
    taken = take_lines(text, ends_file, skipping, scan);
    cut_short = nullptr;
    return true;
}

// Maps the file a window at a time and gives the scan its whole lines.
bool scan_file(int fd, std::size_t size, file_scan &scan, failure_cause &cause)
{
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    bool skipping = false;
    for (std::size_t line = 0; line < size;) {
        std::size_t start = line - line % page; // a mapping starts on a page
        std::size_t length = std::min(window_size, size - start);
        void *window = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(start));
        if (window == MAP_FAILED)
            return record_failure(cause, "mmap", scan.path, errno);
        std::string_view text(static_cast<const char *>(window) + (line - start),
                              length - (line - start));
        std::size_t taken = 0;
        bool whole = guarded_take(text, start + length == size, skipping, scan, taken);
        munmap(window, length);
        if (!whole)
            return record_failure(cause, "read", scan.path, 0, "cut short while it was read");
        line += taken;
    }
    return true;
}

// Where the PBX looks for the files an include names.
std::vector<std::string> included_paths(const std::string &name, const std::string &config_dir)
{
    std::string pattern = name.front() == '/' ? name : config_dir + "/" + name;
    std::vector<std::string> paths;
    glob_t found;
    if (glob(pattern.c_str(), GLOB_NOMAGIC | GLOB_BRACE, nullptr, &found) == 0)
        paths.assign(found.gl_pathv, found.gl_pathv + found.gl_pathc);
    globfree(&found);
    return paths;
}

bool read_names(const std::string &path, const std::string &config_dir, int depth, file_set &seen,
                const names_found &found, failure_cause &cause);

// Reads the file open at `fd` unless it was read before, then the files it
// includes.
bool read_open_file(int fd, const std::string &path, const std::string &config_dir, int depth,
                    file_set &seen, const names_found &found, failure_cause &cause)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return record_failure(cause, "fstat", path, errno);
    if (!S_ISREG(st.st_mode) || !seen.add(st.st_dev, st.st_ino))
        return true;
    file_scan scan{found, path, {}, {}, {}, false};
    struct sigaction guard = {}, before = {};
    guard.sa_handler = on_bus_error;
    sigemptyset(&guard.sa_mask);
    sigaction(SIGBUS, &guard, &before);
    bool scanned = scan_file(fd, static_cast<std::size_t>(st.st_size), scan, cause);
    sigaction(SIGBUS, &before, nullptr);
    if (!scanned || depth == deepest_include)
        return scanned;
    for (const std::string &include : scan.includes)
        for (const std::string &included : included_paths(include, config_dir))
            if (!read_names(included, config_dir, depth + 1, seen, found, cause))
                return false;
    return true;
}

// Whether opening failed because there is no plain file there to read: a
// name missing, on the way or at the end, a directory, a FIFO, a device.
bool no_file(const failure_cause &why)
{
    return why.error == ENOENT || why.error == ENOTDIR || why.error == EISDIR ||
           (why.reason != nullptr && std::strcmp(why.reason, "not a regular file") == 0);
}

// The file is opened as the settings file is, by a walk that follows only
// the links of this user or root and opens nothing but a plain file: these
// files are the PBX's, whose account may write the directory, and a run by
// root must neither follow a link of theirs nor open a device for them.
bool read_names(const std::string &path, const std::string &config_dir, int depth, file_set &seen,
                const names_found &found, failure_cause &cause)
{
    unique_fd file;
    std::vector<walked_directory> through;
    failure_cause why;
    if (!open_for_reading(path, file, why, through)) {
        if (no_file(why))
            return true;
        cause = why;
        return false;
    }
    return read_open_file(file.get(), path, config_dir, depth, seen, found, cause);
}

} // namespace

bool file_set::add(dev_t dev, ino_t ino)
{
    auto file = std::make_pair(dev, ino);
    if (std::find(files_.begin(), files_.end(), file) != files_.end())
        return false;
    files_.push_back(file);
    return true;
}

bool read_section_names(const std::string &path, const std::string &config_dir, file_set &seen,
                        const names_found &found, failure_cause &cause)
{
    return read_names(path, config_dir, 0, seen, found, cause);
}
