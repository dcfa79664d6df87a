#include "files/attributes.h"

#include <cerrno>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace
{

// Where the kernel keeps a file's access ACL, in the form getfacl reads.
constexpr char access_acl[] = "system.posix_acl_access";

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

bool no_acl(int error)
{
    return error == ENODATA || error == EOPNOTSUPP;
}

// Reads the access ACL of `fd` into `acl`, empty when it has none. Returns 0
// or the error.
int read_acl(int fd, std::vector<char> &acl)
{
    for (;;) {
        acl.clear();
        ssize_t size = fgetxattr(fd, access_acl, nullptr, 0);
        if (size < 0)
            return no_acl(errno) ? 0 : errno;
        acl.resize(static_cast<std::size_t>(size));
        size = fgetxattr(fd, access_acl, acl.data(), acl.size());
        if (size >= 0) {
            acl.resize(static_cast<std::size_t>(size));
            return 0;
        }
        if (errno != ERANGE) // else it grew in between: ask again
            return errno;
    }
}

// Gives `to` the access ACL of `from`, or none where `from` has none: one
// that the directory's default ACL gave the new file would otherwise let
// in users the old file kept out.
bool keep_acl(int from, const std::string &from_shown, int to, const std::string &to_shown,
              failure_cause &cause)
{
    std::vector<char> acl;
    if (int error = read_acl(from, acl))
        return record_failure(cause, "fgetxattr", from_shown, error);
    if (acl.empty())
        return fremovexattr(to, access_acl) == 0 || no_acl(errno) ||
               record_failure(cause, "fremovexattr", to_shown, errno);
    return fsetxattr(to, access_acl, acl.data(), acl.size(), 0) == 0 ||
           record_failure(cause, "fsetxattr", to_shown, errno);
}

} // namespace

bool keep_attributes(const old_file &from, int to, const std::string &to_shown,
                     failure_cause &cause)
{
    if (from.fd < 0)
        return fchmod(to, 0666 & ~current_umask()) == 0 ||
               record_failure(cause, "fchmod", to_shown, errno);
    keep_owner(to, from.st);
    if (fchmod(to, from.st.st_mode & 07777) != 0)
        return record_failure(cause, "fchmod", to_shown, errno);
    return keep_acl(from.fd, from.shown, to, to_shown, cause);
}
