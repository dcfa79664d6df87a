#include "files/output_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "files/attributes.h"
#include "files/run_lock.h"

// The replacement, in the order it happens: open() finds the configuration
// directory, takes its lock, finds the file, creates the temporary file and
// gives it the old file's attributes; put() writes, comparing with the old
// file as the bytes go out; commit() syncs the new file, renames it over the
// old one and syncs the directory, or, when the old file holds every byte
// already, removes it and leaves the old one alone.

output_file::output_file(std::string dir, std::string name, int lock_wait_seconds)
    : config_dir_(std::move(dir)), name_(std::move(name)), path_(config_dir_ + "/" + name_),
      lock_wait_seconds_(lock_wait_seconds)
{
}

output_file::opening output_file::open()
{
    unique_fd config_dir;
    std::string shown;
    if (!open_directory_path(config_dir_, config_dir, shown, cause_))
        return opening::failed;
    switch (take_run_lock(config_dir.get(), shown, lock_wait_seconds_, lock_, cause_)) {
    case lock_state::held:
        break;
    case lock_state::busy:
        return opening::busy;
    case lock_state::failed:
        return opening::failed;
    }
    if (!find_target(config_dir.get(), shown, name_, target_, cause_) || !open_old_file() ||
        !temp_.create(target_.dir.get(), target_.dir_shown, target_.name, cause_))
        return opening::failed;
    if (!keep_attributes({old_.get(), target_.st, target_.shown}, temp_.fd(), temp_.path(),
                         cause_)) {
        temp_.discard();
        return opening::failed;
    }
    if (!same_)
        old_.reset();
    return opening::ready;
}

// Opens the file to be replaced, for its ACL and to compare its bytes with
// the new ones. One that this user may write but not read gives its ACL
// through a descriptor open for writing, to which nothing is written, and
// counts as changed.
bool output_file::open_old_file()
{
    if (!target_.exists)
        return true;
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    old_.reset(openat(target_.dir.get(), target_.name.c_str(), O_RDONLY | flags));
    same_ = static_cast<bool>(old_);
    if (!old_ && errno == EACCES)
        old_.reset(openat(target_.dir.get(), target_.name.c_str(), O_WRONLY | flags));
    struct stat st;
    if (!old_ || fstat(old_.get(), &st) != 0)
        return record_failure(cause_, "open", target_.shown, errno);
    // Another file renamed there since the checks: they would not hold.
    if (st.st_dev != target_.st.st_dev || st.st_ino != target_.st.st_ino)
        return record_failure(cause_, "open", target_.shown, EAGAIN);
    target_.st = st;
    if (same_)
        old_bytes_ = std::make_unique<char[]>(buffer_size);
    return true;
}

// Reads as many bytes of the old file as `text` holds and compares them:
// the first difference, or a read that fails, ends the comparison.
void output_file::compare_with_old(std::string_view text)
{
    while (same_ && !text.empty()) {
        ssize_t n = read(old_.get(), old_bytes_.get(), std::min(text.size(), buffer_size));
        if (n < 0 && errno == EINTR)
            continue;
        std::size_t got = n > 0 ? static_cast<std::size_t>(n) : 0;
        same_ = got > 0 && std::memcmp(old_bytes_.get(), text.data(), got) == 0;
        text.remove_prefix(got);
    }
    if (!same_)
        old_.reset();
}

void output_file::write_out(std::string_view text)
{
    if (!failed_)
        compare_with_old(text);
    while (!failed_ && !text.empty()) {
        ssize_t n = write(temp_.fd(), text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int error = n < 0 ? errno : ENOSPC;
            failed_ = true;
            record_failure(cause_, "write", temp_.path(), error);
        } else {
            text.remove_prefix(static_cast<std::size_t>(n));
        }
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

// Whether the old file holds exactly the bytes written: each of them
// matched as it went out, it has none beyond them, and it is still the file
// of that name, unmodified since it was opened.
bool output_file::same_as_old()
{
    if (!same_)
        return false;
    char beyond;
    ssize_t n;
    while ((n = read(old_.get(), &beyond, 1)) < 0 && errno == EINTR) {
    }
    struct stat now, named;
    const struct stat &then = target_.st;
    return n == 0 && fstat(old_.get(), &now) == 0 &&
           fstatat(target_.dir.get(), target_.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           named.st_dev == now.st_dev && named.st_ino == now.st_ino &&
           now.st_size == then.st_size && now.st_mtim.tv_sec == then.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == then.st_mtim.tv_nsec;
}

bool output_file::finish_writing()
{
    if (failed_)
        return false;
    if (fsync(temp_.fd()) != 0) {
        int error = errno;
        return record_failure(cause_, "fsync", temp_.path(), error);
    }
    return temp_.close(cause_);
}

// Renames the finished file over the target, then syncs the directory so
// that the rename survives a power cut.
bool output_file::replace_target()
{
    if (renameat(target_.dir.get(), temp_.name(), target_.dir.get(), target_.name.c_str()) != 0)
        return record_failure(cause_, "rename", target_.shown, errno);
    temp_.renamed();
    return fsync(target_.dir.get()) == 0 ||
           record_failure(cause_, "fsync", target_.dir_shown, errno);
}

file_outcome output_file::commit()
{
    flush();
    if (!failed_ && same_as_old()) {
        temp_.discard();
        return file_outcome::unchanged;
    }
    if (finish_writing() && replace_target())
        return file_outcome::replaced;
    std::printf("Writing %s failed,please check it.\n", path_.c_str());
    report_cause(cause_);
    temp_.discard();
    return file_outcome::failed;
}
