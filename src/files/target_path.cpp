#include "files/target_path.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace
{

// As many links as the kernel follows before it gives up with ELOOP.
constexpr int max_link_hops = 40;

// The end of a walk: the last component of the path in the directory that
// holds it.
struct walk_end {
    unique_fd dir;         // the directory that holds `name`
    std::string dir_shown; // that directory as the console names it; "" for the root
    std::string name;      // empty when the path ends at `dir` itself ("/", "." or "..")
    unique_fd node;        // `name` opened with O_PATH; closed when nothing has that name
    struct stat st = {};   // its status, when it is open
};

// Pushes the components of `path` so that its first comes off the back first.
void push_components(std::string_view path, std::vector<std::string> &todo)
{
    std::vector<std::string> components;
    for (std::size_t start = 0; start < path.size();) {
        std::size_t slash = std::min(path.find('/', start), path.size());
        if (slash > start)
            components.emplace_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    todo.insert(todo.end(), components.rbegin(), components.rend());
}

// The path above `shown`, a path that holds no link, so that ".." in it is
// simply its parent. "" is the root, and "." the working directory.
std::string parent_of(const std::string &shown)
{
    if (shown == "." || shown == ".." ||
        (shown.size() > 2 && shown.compare(shown.size() - 3, 3, "/..") == 0))
        return shown + "/..";
    return shown.substr(0, shown.rfind('/'));
}

// What the descriptor `link`, a symbolic link opened with O_PATH, holds.
bool read_link(int link, std::string &content)
{
    std::vector<char> buf(256);
    for (;;) {
        ssize_t n = readlinkat(link, "", buf.data(), buf.size());
        if (n < 0)
            return false;
        if (static_cast<std::size_t>(n) < buf.size()) {
            content.assign(buf.data(), static_cast<std::size_t>(n));
            return true;
        }
        buf.resize(buf.size() * 2);
    }
}

bool may_follow(const struct stat &link)
{
    return link.st_uid == geteuid() || link.st_uid == 0;
}

unique_fd open_start(bool absolute)
{
    return unique_fd(open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
}

std::string joined(const std::string &dir, const std::string &name)
{
    if (name.empty())
        return dir.empty() ? "/" : dir;
    return dir + "/" + name;
}

// Where a walk has got to.
struct walk_state {
    unique_fd dir;                 // the directory reached so far
    std::string shown;             // its path, links resolved; "" for the root
    std::vector<std::string> todo; // the components still to walk, the next one last
    int hops = 0;                  // links followed so far
    std::vector<walked_directory> *through = nullptr; // gets each directory reached, when set
};

// Adds at.dir, just reached, to at.through, when the caller asked for them.
bool note_directory(walk_state &at, failure_cause &cause)
{
    if (at.through == nullptr)
        return true;
    struct stat st;
    if (fstat(at.dir.get(), &st) != 0) {
        int error = errno;
        return record_failure(cause, "fstat", joined(at.shown, ""), error);
    }
    at.through->push_back({joined(at.shown, ""), st});
    return true;
}

// Follows `link`, a symbolic link opened as `link_shown` in at.dir: what it
// holds is walked next, from the root if it starts with a slash.
bool follow_link(walk_state &at, int link, const struct stat &st, const std::string &link_shown,
                 failure_cause &cause)
{
    if (!may_follow(st))
        return record_failure(cause, "open", link_shown, EACCES);
    if (++at.hops > max_link_hops)
        return record_failure(cause, "open", link_shown, ELOOP);
    std::string content;
    if (!read_link(link, content))
        return record_failure(cause, "readlink", link_shown, errno);
    if (content.empty())
        return record_failure(cause, "open", link_shown, ENOENT);
    if (content.front() == '/') {
        at.shown.clear();
        if (!(at.dir = open_start(true))) {
            int error = errno;
            return record_failure(cause, "open", "/", error);
        }
        if (!note_directory(at, cause))
            return false;
    }
    push_components(content, at.todo);
    return true;
}

// Walks `path` from at.dir, following every link on the way and at its end,
// to the last component that is not a link, which need not exist.
bool walk(walk_state at, std::string_view path, walk_end &end, failure_cause &cause)
{
    if (!note_directory(at, cause))
        return false;
    push_components(path, at.todo);
    while (!at.todo.empty()) {
        std::string name = std::move(at.todo.back());
        at.todo.pop_back();
        if (name == ".")
            continue;
        bool last = at.todo.empty() && name != "..";
        std::string next = at.shown + "/" + name;
        unique_fd node(openat(at.dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!node && errno == ENOENT && last) {
            end.name = std::move(name); // a file yet to be made
            break;
        }
        struct stat st;
        if (!node)
            return record_failure(cause, "open", next, errno);
        if (fstat(node.get(), &st) != 0)
            return record_failure(cause, "fstat", next, errno);
        if (S_ISLNK(st.st_mode)) {
            if (!follow_link(at, node.get(), st, next, cause))
                return false;
        } else if (last) {
            end.name = std::move(name);
            end.node = std::move(node);
            end.st = st;
            break;
        } else if (!S_ISDIR(st.st_mode)) {
            return record_failure(cause, "open", next, ENOTDIR);
        } else {
            at.dir = std::move(node);
            at.shown = name == ".." ? parent_of(at.shown) : next;
            if (!note_directory(at, cause))
                return false;
        }
    }
    end.dir = std::move(at.dir);
    end.dir_shown = std::move(at.shown);
    return true;
}

// Whether a file is mounted over `file`, a node of `dir`: then rename
// cannot replace it. A file bound from the same filesystem keeps its
// device, so the mount IDs tell, where the kernel gives them.
bool mounted_over(int file, const struct stat &st, int dir, const struct stat &directory)
{
    if (st.st_dev != directory.st_dev)
        return true;
    struct statx f, d;
    if (statx(file, "", AT_EMPTY_PATH, STATX_MNT_ID, &f) != 0 ||
        statx(dir, "", AT_EMPTY_PATH, STATX_MNT_ID, &d) != 0)
        return false;
    return (f.stx_mask & d.stx_mask & STATX_MNT_ID) != 0 && f.stx_mnt_id != d.stx_mnt_id;
}

// The old file must be a plain file that this process could also have
// opened for writing; rename must be able to replace it; and in a sticky
// directory it must be the running user's.
bool check_target(const walk_end &end, const std::string &shown, failure_cause &cause)
{
    const struct stat &old = end.st;
    if (S_ISDIR(old.st_mode))
        return record_failure(cause, "open", shown, EISDIR);
    if (!S_ISREG(old.st_mode))
        return record_failure(cause, "open", shown, 0, "not a regular file");
    if (faccessat(end.dir.get(), end.name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
        return record_failure(cause, "open", shown, errno);

    struct stat dir;
    if (fstat(end.dir.get(), &dir) != 0) {
        int error = errno;
        return record_failure(cause, "fstat", joined(end.dir_shown, ""), error);
    }
    if (mounted_over(end.node.get(), old, end.dir.get(), dir))
        return record_failure(cause, "rename", shown, EBUSY);
    if ((dir.st_mode & S_ISVTX) && old.st_uid != geteuid())
        return record_failure(cause, "rename", shown, EPERM);
    return true;
}

// Walks `path` from the root or the working directory, as it starts; each
// directory reached goes to `through`, when given.
bool walk_path(const std::string &path, walk_end &end, failure_cause &cause,
               std::vector<walked_directory> *through = nullptr)
{
    bool absolute = !path.empty() && path.front() == '/';
    unique_fd start = open_start(absolute);
    if (!start) {
        int error = errno;
        return record_failure(cause, "open", absolute ? "/" : ".", error);
    }
    return walk({std::move(start), absolute ? "" : ".", {}, 0, through}, path, end, cause);
}

} // namespace

bool open_directory_path(const std::string &path, unique_fd &dir, std::string &shown,
                         failure_cause &cause)
{
    walk_end end;
    if (!walk_path(path, end, cause))
        return false;
    shown = joined(end.dir_shown, end.name);
    if (end.name.empty()) {
        dir = std::move(end.dir);
        return true;
    }
    if (!end.node)
        return record_failure(cause, "open", shown, ENOENT);
    if (!S_ISDIR(end.st.st_mode))
        return record_failure(cause, "open", shown, ENOTDIR);
    dir = std::move(end.node);
    return true;
}

bool find_target(int dir, const std::string &dir_shown, const std::string &name,
                 target_file &target, failure_cause &cause)
{
    unique_fd start(fcntl(dir, F_DUPFD_CLOEXEC, 0));
    if (!start) {
        int error = errno;
        return record_failure(cause, "fcntl", joined(dir_shown, ""), error);
    }
    walk_end end;
    if (!walk({std::move(start), dir_shown == "/" ? "" : dir_shown, {}, 0}, name, end, cause))
        return false;
    target.shown = joined(end.dir_shown, end.name);
    if (end.name.empty())
        return record_failure(cause, "open", target.shown, EISDIR);
    // The directory must be readable, to be listed and synced: known here,
    // before the query, rather than after the whole file has been written.
    target.dir_shown = joined(end.dir_shown, "");
    target.dir.reset(openat(end.dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!target.dir)
        return record_failure(cause, "open", target.dir_shown, errno);
    target.exists = static_cast<bool>(end.node);
    if (target.exists && !check_target(end, target.shown, cause))
        return false;
    target.name = std::move(end.name);
    target.st = end.st;
    return true;
}

bool open_for_reading(const std::string &path, unique_fd &file, failure_cause &cause,
                      std::vector<walked_directory> &through)
{
    walk_end end;
    if (!walk_path(path, end, cause, &through))
        return false;
    std::string shown = joined(end.dir_shown, end.name);
    if (!end.node)
        return record_failure(cause, "open", shown, end.name.empty() ? EISDIR : ENOENT);
    if (S_ISDIR(end.st.st_mode))
        return record_failure(cause, "open", shown, EISDIR);
    if (!S_ISREG(end.st.st_mode))
        return record_failure(cause, "open", shown, 0, "not a regular file");
    // O_NOFOLLOW: the name may have become a link since it was looked at.
    // O_NONBLOCK: or a FIFO, whose opening would wait for a writer; it does
    // nothing to a plain file's reads.
    file.reset(
        openat(end.dir.get(), end.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!file || fstat(file.get(), &st) != 0)
        return record_failure(cause, "open", shown, errno);
    if (st.st_dev != end.st.st_dev || st.st_ino != end.st.st_ino)
        return record_failure(cause, "open", shown, EAGAIN);
    return true;
}
