#include "files/run_lock.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace
{

constexpr char lock_name[] = ".peerloom.lock";

// How often a waiting run tries the lock again.
constexpr std::chrono::milliseconds lock_retry{20};

// Opens the lock file, making it if need be. O_NONBLOCK, so that a FIFO in
// its place does not stop the run before it is refused.
bool open_lock_file(int dir, const std::string &path, unique_fd &lock, failure_cause &cause)
{
    lock.reset(
        openat(dir, lock_name, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!lock && errno == ELOOP)
        return record_failure(cause, "open", path, 0, "a symbolic link");
    if (!lock)
        return record_failure(cause, "open", path, errno);
    struct stat st;
    if (fstat(lock.get(), &st) != 0)
        return record_failure(cause, "fstat", path, errno);
    if (!S_ISREG(st.st_mode))
        return record_failure(cause, "open", path, 0, "not a regular file");
    if (st.st_uid != geteuid())
        return record_failure(cause, "open", path, 0, "owned by another user");
    // Whoever could once open it may keep it open, and take the lock at
    // will: a mode or an ACL that lets others in, or a second name for the
    // file elsewhere, spoils it for good. The group bits show an ACL's mask.
    if (st.st_mode & 077)
        return record_failure(cause, "open", path, 0, "open to other users; remove it");
    if (st.st_nlink != 1)
        return record_failure(cause, "open", path, 0, "a file of more than one name; remove it");
    return true;
}

} // namespace

// Polls rather than blocks, so that the wait has an end.
lock_state take_run_lock(int dir, const std::string &dir_shown, int wait_seconds, unique_fd &lock,
                         failure_cause &cause)
{
    std::string path = (dir_shown == "/" ? "" : dir_shown) + "/" + lock_name;
    if (!open_lock_file(dir, path, lock, cause))
        return lock_state::failed;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds);
    while (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        if (error == EINTR)
            continue;
        if (error != EWOULDBLOCK) {
            record_failure(cause, "flock", path, error);
            return lock_state::failed;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            record_failure(cause, "flock", path, error);
            return lock_state::busy;
        }
        timespec pause{0, std::chrono::nanoseconds(lock_retry).count()};
        nanosleep(&pause, nullptr);
    }
    return lock_state::held;
}
