#include "peers/output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

// As many links as the kernel follows before it gives up with ELOOP.
constexpr int max_link_hops = 40;

std::string directory_of(const std::string &path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool read_link(const std::string &path, std::string &content)
{
    std::vector<char> buf(256);
    for (;;) {
        ssize_t n = readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0)
            return false;
        if (static_cast<std::size_t>(n) < buf.size()) {
            content.assign(buf.data(), static_cast<std::size_t>(n));
            return true;
        }
        buf.resize(buf.size() * 2);
    }
}

// Follows symbolic links from `path` to the file they lead to, which need not
// exist yet: writing through a link writes its target, and so does replacing.
bool follow_links(std::string path, std::string &target)
{
    for (int hops = 0;; ++hops) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = std::move(path);
            return true;
        }
        std::string link;
        if (hops == max_link_hops || !read_link(path, link))
            return false;
        path = link.front() == '/' ? link : directory_of(path) + "/" + link;
    }
}

// Whether the old file may be replaced: it must be a plain file that this
// process could also have opened for writing, or not exist at all.
bool replaceable(const std::string &target, struct stat &old, bool &exists)
{
    if (stat(target.c_str(), &old) != 0) {
        exists = false;
        return errno == ENOENT;
    }
    exists = true;
    return S_ISREG(old.st_mode) && access(target.c_str(), W_OK) == 0;
}

mode_t current_umask()
{
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// Gives the new file the old one's owner and group. Only root may give a file
// away; others may still keep its group if they belong to it. Where neither is
// allowed the new file stays this process's, as any file it creates would be.
bool keep_owner(int fd, const struct stat &old)
{
    return fchown(fd, old.st_uid, old.st_gid) == 0 ||
           fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
}

// Gives the new file the permissions of the old one, or those that creating
// the file in place would have given it.
bool take_attributes(int fd, const struct stat &old, bool exists)
{
    if (!exists)
        return fchmod(fd, 0666 & ~current_umask()) == 0;
    keep_owner(fd, old);
    return fchmod(fd, old.st_mode & 07777) == 0;
}

} // namespace

output_file::output_file(std::string path) : path_(std::move(path)) {}

output_file::~output_file()
{
    discard();
}

bool output_file::open()
{
    struct stat old;
    bool exists = false;
    if (!follow_links(path_, target_) || !replaceable(target_, old, exists))
        return false;

    std::string base = target_.substr(target_.rfind('/') + 1);
    std::string name = directory_of(target_) + "/." + base + ".XXXXXX";
    fd_ = mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0)
        return false;
    temp_path_ = std::move(name);
    if (!take_attributes(fd_, old, exists)) {
        discard();
        return false;
    }
    return true;
}

void output_file::write_out(std::string_view text)
{
    while (!failed_ && !text.empty()) {
        ssize_t n = write(fd_, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            failed_ = true;
        else
            text.remove_prefix(static_cast<std::size_t>(n));
    }
}

void output_file::flush()
{
    write_out({buffer_.get(), used_});
    used_ = 0;
}

// A text too long for what is left of the buffer: the buffer goes out first,
// and a text longer than the whole buffer goes out without it.
void output_file::put_past_buffer(std::string_view text)
{
    flush();
    if (text.size() > buffer_size) {
        write_out(text);
        return;
    }
    std::memcpy(buffer_.get(), text.data(), text.size());
    used_ = text.size();
}

bool output_file::finish_writing()
{
    flush();
    if (failed_ || fsync(fd_) != 0)
        return false;
    int fd = std::exchange(fd_, -1);
    return close(fd) == 0;
}

// Renames the finished file over the target, then syncs the directory so
// that the rename survives a power cut. The directory is opened first: once
// the rename is done, no failure could bring the old file back.
bool output_file::replace_target()
{
    int dir = ::open(directory_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    bool replaced = rename(temp_path_.c_str(), target_.c_str()) == 0;
    if (replaced)
        temp_path_.clear();
    bool synced = replaced && fsync(dir) == 0;
    close(dir);
    return synced;
}

bool output_file::commit()
{
    if (finish_writing() && replace_target())
        return true;
    std::printf("Writing %s failed,please check it.\n", path_.c_str());
    discard();
    return false;
}

void output_file::discard()
{
    if (fd_ >= 0)
        close(std::exchange(fd_, -1));
    if (!temp_path_.empty())
        unlink(std::exchange(temp_path_, std::string()).c_str());
}
