#include "peers/section_names.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The PBX keeps the first 79 bytes of a section name.
constexpr std::size_t kept_name = 79;

struct descriptor {
    int fd;
    ~descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
};

bool read_all(int fd, std::size_t size, std::string &text)
{
    text.resize(size);
    std::size_t got = 0;
    for (;;) {
        if (got == text.size())
            text.resize(text.size() * 2 + 4096); // the file grew meanwhile
        ssize_t n = read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    return true;
}

// The name of the section a line opens, or nothing when it opens none: the
// PBX strips the blanks in front of a line, reads "[" as a header and the
// name up to the first "]"; "(!)" after it makes a template, which is no
// object of its own.
bool header_name(std::string_view line, std::string_view &name)
{
    std::size_t start = line.find_first_not_of(" \t\v\f\r");
    if (start == std::string_view::npos || line[start] != '[')
        return false;
    std::size_t close = line.find(']', start);
    if (close == std::string_view::npos)
        return false;
    std::string_view options = line.substr(close + 1);
    if (!options.empty() && options[0] == '(' &&
        options.substr(0, options.find(')')).find('!') != std::string_view::npos)
        return false;
    name = line.substr(start + 1, std::min(close - start - 1, kept_name));
    return true;
}

void collect_names(section_names &found)
{
    std::string_view text = found.text;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        std::string_view name;
        if (header_name(line, name) && (found.names.empty() || found.names.back() != name))
            found.names.push_back(name);
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
}

} // namespace

bool read_section_names(const std::string &path, section_names &found, failure_cause &cause)
{
    found.path = path;
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
    if (!read_all(file.fd, static_cast<std::size_t>(st.st_size), found.text)) {
        cause = {"read", path, errno};
        return false;
    }
    collect_names(found);
    return true;
}
