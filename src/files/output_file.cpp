#include "files/output_file.h"

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
// gives it the old file's attributes; put() writes; commit() syncs the new
// file, renames it over the old one and syncs the directory.

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
    old_.reset();
    return opening::ready;
}

// Opens the file to be replaced, for its ACL. One that this user may write
// but not read gives it through a descriptor open for writing, to which
// nothing is written.
bool output_file::open_old_file()
{
    if (!target_.exists)
        return true;
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    old_.reset(openat(target_.dir.get(), target_.name.c_str(), O_RDONLY | flags));
    if (!old_ && errno == EACCES)
        old_.reset(openat(target_.dir.get(), target_.name.c_str(), O_WRONLY | flags));
    struct stat st;
    if (!old_ || fstat(old_.get(), &st) != 0)
        return record_failure(cause_, "open", target_.shown, errno);
    // Another file renamed there since the checks: they would not hold.
    if (st.st_dev != target_.st.st_dev || st.st_ino != target_.st.st_ino)
        return record_failure(cause_, "open", target_.shown, EAGAIN);
    target_.st = st;
    return true;
}

void output_file::write_out(std::string_view text)
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

bool output_file::commit()
{
    flush();
    if (finish_writing() && replace_target())
        return true;
    std::printf("Writing %s failed,please check it.\n", path_.c_str());
    report_cause(cause_);
    temp_.discard();
    return false;
}
