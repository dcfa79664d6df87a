#include "files/output_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "files/attributes.h"
#include "files/reload_mark.h"
#include "files/run_lock.h"

// The replacement, in the order it happens: open() finds the configuration
// directory, takes its lock and finds the file; put() compares the bytes
// with the old file's as they go out, and at the first difference creates
// the temporary file with the old file's attributes and the bytes that
// matched, then writes on into it; commit() syncs the new file, renames it
// over the old one and syncs the directory, or, when the old file holds
// every byte already, leaves it alone. Without an old file to compare with,
// the temporary file is created at once.

output_file::output_file(std::string dir, std::string name, int lock_wait_seconds)
    : config_dir_(std::move(dir)), name_(std::move(name)), path_(config_dir_ + "/" + name_),
      lock_wait_seconds_(lock_wait_seconds)
{
}

output_file::opening output_file::open()
{
    if (!open_directory_path(config_dir_, config_dir_fd_, config_dir_shown_, cause_))
        return opening::failed;
    switch (
        take_run_lock(config_dir_fd_.get(), config_dir_shown_, lock_wait_seconds_, lock_, cause_)) {
    case lock_state::held:
        break;
    case lock_state::busy:
        return opening::busy;
    case lock_state::failed:
        return opening::failed;
    }
    if (!find_target(config_dir_fd_.get(), config_dir_shown_, name_, target_, cause_) ||
        !open_old_file())
        return opening::failed;
    if (same_)
        return may_create_here() ? opening::ready : opening::failed;
    return create_temporary() ? opening::ready : opening::failed;
}

// Whether the temporary file could be made beside the target, asked before
// the query so that the console says it where it always has. What only the
// making itself can tell (a full disk, a quota) is told when writing.
bool output_file::may_create_here()
{
    if (faccessat(target_.dir.get(), ".", W_OK | X_OK, AT_EACCESS) == 0)
        return true;
    return record_failure(cause_, "open", target_.dir_shown, errno);
}

bool output_file::create_temporary()
{
    if (!temp_.create(target_.dir.get(), target_.dir_shown, target_.name, cause_))
        return false;
    if (keep_attributes({old_.get(), target_.st, target_.shown}, temp_.fd(), temp_.path(), cause_))
        return true;
    temp_.discard();
    return false;
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
}

// Copies the first `bytes` of the old file into the temporary file, in the
// kernel where the file system can. The old file must still be as it was
// when it was compared: one changed since could give other bytes than
// those that matched.
bool output_file::copy_from_old(std::size_t bytes)
{
    off_t from = 0;
    bool in_kernel = true;
    while (bytes > 0 && !failed_) {
        ssize_t n;
        if (in_kernel) {
            n = copy_file_range(old_.get(), &from, temp_.fd(), nullptr, bytes, 0);
            if (n < 0 &&
                (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                in_kernel = false;
                continue;
            }
        } else {
            n = pread(old_.get(), old_bytes_.get(), std::min(bytes, buffer_size), from);
            if (n > 0) {
                write_to_temp({old_bytes_.get(), static_cast<std::size_t>(n)});
                from += n;
            }
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return record_failure(cause_, "write", temp_.path(), n < 0 ? errno : ENOSPC);
        bytes -= static_cast<std::size_t>(n);
    }
    struct stat now;
    const struct stat &then = target_.st;
    if (fstat(old_.get(), &now) != 0 || now.st_size != then.st_size ||
        now.st_mtim.tv_sec != then.st_mtim.tv_sec || now.st_mtim.tv_nsec != then.st_mtim.tv_nsec)
        return record_failure(cause_, "read", target_.shown, 0, "changed while it was read");
    return !failed_;
}

// The first difference from the old file, after `matched` bytes that were
// the same: the temporary file is made with those bytes.
bool output_file::start_new_file(std::size_t matched)
{
    bool started = create_temporary() && copy_from_old(matched);
    old_.reset();
    if (!started)
        failed_ = true;
    return started;
}

void output_file::write_out(std::string_view text)
{
    if (same_ && !failed_) {
        compare_with_old(text);
        if (same_) {
            matched_ += text.size(); // the old file holds these already
            return;
        }
        if (!start_new_file(matched_))
            return;
    }
    write_to_temp(text);
}

void output_file::write_to_temp(std::string_view text)
{
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

file_outcome output_file::commit(bool mark_reload)
{
    flush();
    if (!failed_ && same_as_old())
        return file_outcome::unchanged;
    // Every byte matched, but the old file holds more, or changed since.
    if (!failed_ && same_)
        start_new_file(matched_);
    if (finish_writing() &&
        (!mark_reload || set_reload_mark(config_dir_fd_.get(), config_dir_shown_, name_, cause_)) &&
        replace_target())
        return file_outcome::replaced;
    std::printf("Writing %s failed,please check it.\n", path_.c_str());
    report_cause(cause_);
    temp_.discard();
    return file_outcome::failed;
}

bool output_file::reload_due() const
{
    return reload_mark_stands(config_dir_fd_.get(), name_);
}

bool output_file::clear_reload_mark()
{
    return ::clear_reload_mark(config_dir_fd_.get(), config_dir_shown_, name_, cause_);
}
