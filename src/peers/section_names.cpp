#include "peers/section_names.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

// The PBX keeps the first 79 bytes of a section name.
constexpr std::size_t kept_name = 79;

// The file is read in pieces of this size, so that a large one costs little
// memory; a line longer than a piece is one the PBX skips anyway.
constexpr std::size_t piece_size = 1 << 16;

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

// A name is most often the one before it again, and a few bytes long.
bool same_bytes(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

// Hands on the names of whole lines, skipping repeats.
struct name_reader {
    const std::function<void(std::string_view)> &found;
    std::string last; // the name given last

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
        if (!same_bytes(name, last)) {
            last.assign(name);
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

// Reads the file piece by piece and gives the reader whole lines.
bool read_lines(int fd, name_reader &reader)
{
    std::vector<char> piece(piece_size);
    std::size_t kept = 0;  // bytes of an unfinished line at the front of the piece
    bool skipping = false; // within a line longer than a piece
    for (;;) {
        ssize_t n = read(fd, piece.data() + kept, piece.size() - kept);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        std::string_view text(piece.data(), kept + static_cast<std::size_t>(n));
        if (n == 0) {
            if (!skipping)
                reader.lines(text);
            return true;
        }
        std::size_t last_end = text.rfind('\n');
        if (last_end == std::string_view::npos) {
            // No line ends in a whole piece: drop it, and the rest of that line.
            skipping = skipping || text.size() == piece.size();
            kept = skipping ? 0 : text.size();
            continue;
        }
        std::string_view whole = text.substr(0, last_end + 1);
        if (skipping) {
            whole.remove_prefix(whole.find('\n') + 1);
            skipping = false;
        }
        reader.lines(whole);
        kept = text.size() - last_end - 1;
        std::memmove(piece.data(), piece.data() + last_end + 1, kept);
    }
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
    name_reader reader{found, {}};
    if (!read_lines(file.fd, reader)) {
        cause = {"read", path, errno};
        return false;
    }
    return true;
}
