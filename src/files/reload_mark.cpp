#include "files/reload_mark.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/unique_fd.h"

namespace
{

// Not ".NAME.peerloom-" and six letters or digits: that is a temporary
// file's name, which a later run removes as the leftover of a killed one.
std::string mark_name(const std::string &name)
{
    return "." + name.substr(name.rfind('/') + 1) + ".peerloom-reload-due";
}

std::string mark_path(const std::string &dir_shown, const std::string &name)
{
    return (dir_shown == "/" ? "" : dir_shown) + "/" + mark_name(name);
}

} // namespace

bool reload_mark_stands(int dir, const std::string &name)
{
    struct stat st;
    return fstatat(dir, mark_name(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode) && st.st_uid == geteuid();
}

bool set_reload_mark(int dir, const std::string &dir_shown, const std::string &name,
                     failure_cause &cause)
{
    if (reload_mark_stands(dir, name))
        return true;
    std::string path = mark_path(dir_shown, name);
    // Whatever is in the way (another user's file, a link) goes: the mark
    // must be this user's.
    unlinkat(dir, mark_name(name).c_str(), 0);
    unique_fd mark(openat(dir, mark_name(name).c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!mark)
        return record_failure(cause, "open", path, errno);
    unique_fd listing(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing || fsync(listing.get()) != 0)
        return record_failure(cause, "fsync", dir_shown, errno);
    return true;
}

bool clear_reload_mark(int dir, const std::string &dir_shown, const std::string &name,
                       failure_cause &cause)
{
    if (unlinkat(dir, mark_name(name).c_str(), 0) != 0 && errno != ENOENT)
        return record_failure(cause, "unlink", mark_path(dir_shown, name), errno);
    return true;
}
