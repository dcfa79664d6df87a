#include "peers/section_names.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The PBX keeps the first 79 bytes of a section name.
constexpr std::size_t kept_name = 79;

// The file is mapped a window at a time and scanned where the kernel keeps
// it: a run reads both other files whole, tens of megabytes for large
// tables, and copying them out first would cost as much again as the scan.
// A window bounds the memory this takes; a line longer than a window is one
// the PBX skips anyway.
constexpr std::size_t window_size = 1 << 22;

struct descriptor {
    int fd;
    ~descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
};

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

// Hands on the names of whole lines, skipping repeats.
struct name_reader {
    const std::function<void(std::string_view)> &found;
    char last[kept_name] = {}; // the name given last: a name is most often the one before again
    std::size_t last_size = 0;

    bool repeats(std::string_view name) const
    {
        if (name.size() != last_size)
            return false;
        for (std::size_t i = 0; i < name.size(); ++i)
            if (name[i] != last[i])
                return false;
        return true;
    }

    // The PBX reads the name of a header up to the first "]"; "(!)" after
    // it makes a template, which is no object of its own. `text` starts
    // with the '['; returns where the header ends.
    std::size_t header(std::string_view text)
    {
        // Names are short: a loop finds the end sooner than a library call.
        std::size_t close = 1;
        while (close < text.size() && text[close] != ']' && text[close] != '\n')
            ++close;
        if (close == text.size() || text[close] == '\n')
            return close;
        if (close + 1 < text.size() && text[close + 1] == '(') {
            std::size_t end = text.find_first_of(")\n", close);
            if (text.substr(close, end - close).find('!') != std::string_view::npos)
                return close;
        }
        std::string_view name = text.substr(1, std::min(close - 1, kept_name));
        if (!repeats(name)) {
            std::copy(name.begin(), name.end(), last);
            last_size = name.size();
            found(name);
        }
        return close;
    }

    // `text` holds whole lines. The PBX strips the blanks in front of a
    // line and reads one that starts with '[' as a header; looking for '['
    // alone skips most lines whole.
    void lines(std::string_view text)
    {
        for (std::size_t at = 0; (at = text.find('[', at)) != std::string_view::npos;) {
            std::size_t start = at;
            while (start > 0 && is_blank(text[start - 1]))
                --start;
            if (start == 0 || text[start - 1] == '\n')
                at += header(text.substr(at));
            else
                ++at;
        }
    }
};

// Gives the reader the whole lines of `text`, which starts where a line
// does, and returns how many bytes it took: up to its last line feed, or
// all of it when it ends the file. `skipping` is set while within a line
// that outgrows a window.
std::size_t take_lines(std::string_view text, bool ends_file, bool &skipping, name_reader &reader)
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
    reader.lines(text.substr(0, whole));
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
bool guarded_take(std::string_view text, bool ends_file, bool &skipping, name_reader &reader,
                  std::size_t &taken)
{
    sigjmp_buf escape;
    if (sigsetjmp(escape, 1) != 0) {
        cut_short = nullptr;
        return false;
    }
    cut_short = &escape;
    taken = take_lines(text, ends_file, skipping, reader);
    cut_short = nullptr;
    return true;
}

// Maps the file a window at a time and gives the reader its whole lines.
bool scan_file(int fd, std::size_t size, name_reader &reader, failure_cause &cause,
               const std::string &path)
{
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    bool skipping = false;
    for (std::size_t line = 0; line < size;) {
        std::size_t start = line - line % page; // a mapping starts on a page
        std::size_t length = std::min(window_size, size - start);
        void *window = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(start));
        if (window == MAP_FAILED) {
            cause = {"mmap", path, errno};
            return false;
        }
        std::string_view text(static_cast<const char *>(window) + (line - start),
                              length - (line - start));
        std::size_t taken = 0;
        bool whole = guarded_take(text, start + length == size, skipping, reader, taken);
        munmap(window, length);
        if (!whole) {
            cause = {"read", path, 0, "cut short while it was read"};
            return false;
        }
        line += taken;
    }
    return true;
}

} // namespace

bool read_section_names(const std::string &path, const std::function<void(std::string_view)> &found,
                        failure_cause &cause)
{
    // Not blocking, so that a FIFO of that name cannot hold the run.
    descriptor file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return true;
        cause = {"open", path, errno};
        return false;
    }
    struct stat st;
    if (fstat(file.fd, &st) != 0) {
        cause = {"fstat", path, errno};
        return false;
    }
    if (!S_ISREG(st.st_mode))
        return true;
    struct sigaction guard = {}, before = {};
    guard.sa_handler = on_bus_error;
    sigemptyset(&guard.sa_mask);
    sigaction(SIGBUS, &guard, &before);
    name_reader reader{found};
    bool scanned = scan_file(file.fd, static_cast<std::size_t>(st.st_size), reader, cause, path);
    sigaction(SIGBUS, &before, nullptr);
    return scanned;
}
