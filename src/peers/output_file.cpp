#include "peers/output_file.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

// As many links as the kernel follows before it gives up with ELOOP.
constexpr int max_link_hops = 40;

// A temporary name is ".NAME." and this marker before six random letters or
// digits: a later run removes only what carries it, never another dot file
// such as an administrator's .NAME.backup.
constexpr std::string_view temporary_marker = "peerloom-";
constexpr std::size_t random_part = 6;

// How often a waiting run tries the lock again.
constexpr std::chrono::milliseconds lock_retry{20};

std::string directory_of(const std::string &path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The directory above `resolved`, a path that holds no link, so that ".."
// in it is simply its parent. "" is the root, and "." the working directory.
std::string parent_of(const std::string &resolved)
{
    if (resolved == "." || resolved == ".." ||
        (resolved.size() > 2 && resolved.compare(resolved.size() - 3, 3, "/..") == 0))
        return resolved + "/..";
    return resolved.substr(0, resolved.rfind('/'));
}

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

// Whether a file is mounted over `name` in `dir`: then rename cannot
// replace it. A file bound from the same filesystem keeps its device, so the
// mount IDs tell, where the kernel gives them.
bool mounted_over(int dir, const char *name, const struct stat &file, const struct stat &directory)
{
    if (file.st_dev != directory.st_dev)
        return true;
    struct statx f, d;
    if (statx(dir, name, 0, STATX_MNT_ID, &f) != 0 ||
        statx(dir, "", AT_EMPTY_PATH, STATX_MNT_ID, &d) != 0)
        return false;
    return (f.stx_mask & d.stx_mask & STATX_MNT_ID) != 0 && f.stx_mnt_id != d.stx_mnt_id;
}

std::string random_letters()
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char bytes[random_part] = {};
    // Only uniqueness matters, and O_EXCL sees to that: without the kernel's
    // random source, the clock will do.
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != sizeof bytes) {
        auto now = std::chrono::steady_clock::now().time_since_epoch().count() ^ getpid();
        for (unsigned char &b : bytes)
            b = static_cast<unsigned char>(now >>= 5);
    }
    std::string name;
    for (unsigned char b : bytes)
        name += letters[b % (sizeof letters - 1)];
    return name;
}

bool is_temporary_name(const char *name, const std::string &prefix)
{
    std::string_view n(name);
    if (n.size() != prefix.size() + random_part || n.compare(0, prefix.size(), prefix) != 0)
        return false;
    for (char c : n.substr(prefix.size()))
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// The temporary file that a signal must not leave behind: its directory and
// name, set only while the file exists. Atomics, as the handler may run
// between any two instructions of the run.
std::atomic<int> doomed_dir{-1};
std::atomic<const char *> doomed_name{nullptr};

extern "C" void remove_temporary_and_die(int sig)
{
    if (const char *name = doomed_name.load())
        unlinkat(doomed_dir.load(), name, 0);
    // SA_RESETHAND has restored the default action: the run dies of the
    // signal as it would have without the handler, and the shell sees 128+N.
    raise(sig);
}

const int ending_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Interrupting a run (Ctrl-C, kill, a closed terminal) removes its temporary
// file. A signal that was ignored when the run started, as in a background
// job, stays ignored.
void remove_temporary_on_signals()
{
    static bool installed = false;
    if (installed)
        return;
    for (int sig : ending_signals) {
        struct sigaction old = {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        struct sigaction action = {};
        action.sa_handler = remove_temporary_and_die;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
    installed = true;
}

// Holds back the signals that end a run while it lives, so that none comes
// between creating a temporary file and telling the handler its name.
struct signals_held {
    sigset_t before;
    signals_held()
    {
        sigset_t held;
        sigemptyset(&held);
        for (int sig : ending_signals)
            sigaddset(&held, sig);
        sigprocmask(SIG_BLOCK, &held, &before);
    }
    ~signals_held() { sigprocmask(SIG_SETMASK, &before, nullptr); }
    signals_held(const signals_held &) = delete;
    signals_held &operator=(const signals_held &) = delete;
};

void watch_temporary(int dir, const char *name)
{
    doomed_dir = dir;
    doomed_name = name;
}

void forget_temporary()
{
    doomed_name = nullptr;
}

} // namespace

output_file::output_file(std::string path, int lock_wait_seconds)
    : path_(std::move(path)), lock_wait_seconds_(lock_wait_seconds)
{
}

output_file::~output_file()
{
    discard();
    if (dir_ >= 0)
        close(dir_); // and with it the lock
}

output_file::opening output_file::open()
{
    if (!follow_links() || !open_directory())
        return opening::failed;
    if (opening locked = lock_directory(); locked != opening::ready)
        return locked;
    remove_leftovers();
    struct stat old;
    bool exists = false;
    if (!check_target(old, exists) || !create_temporary(old, exists))
        return opening::failed;
    return opening::ready;
}

bool output_file::fail(const char *step, const std::string &path, int error, const char *reason)
{
    cause_ = {step, path, error, reason};
    return false;
}

// Resolves the output path one component at a time, as the kernel would, to
// the file it leads to, which need not exist yet: writing through a link
// writes its target, and so does replacing. Every link on the way is
// followed only when it belongs to this user or to root, the rule the kernel
// applies in sticky directories: one planted by anyone else who may write a
// directory on the way could point a run by root at any file of the system.
bool output_file::follow_links()
{
    std::string resolved = path_.front() == '/' ? "" : ".";
    std::vector<std::string> todo;
    push_components(path_, todo);
    for (int hops = 0; !todo.empty();) {
        std::string name = std::move(todo.back());
        todo.pop_back();
        if (name == ".")
            continue;
        if (name == "..") {
            resolved = parent_of(resolved);
            continue;
        }
        std::string next = resolved + "/" + name;
        struct stat st;
        if (lstat(next.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            resolved = std::move(next);
            continue;
        }
        if (st.st_uid != geteuid() && st.st_uid != 0)
            return fail("open", next, EACCES);
        if (++hops > max_link_hops)
            return fail("open", path_, ELOOP);
        std::string link;
        if (!read_link(next, link)) {
            int error = errno;
            return fail("readlink", next, error);
        }
        if (!link.empty() && link.front() == '/')
            resolved.clear();
        push_components(link, todo);
    }
    const std::string &path = resolved.empty() ? "/" : resolved;
    target_ = path;
    dir_path_ = directory_of(path);
    base_ = path.substr(path.rfind('/') + 1);
    return true;
}

// The directory must be readable, to be locked and synced, as well as
// searchable and writable, for the temporary file; all of it is known here,
// before the query, rather than after the whole file has been written.
bool output_file::open_directory()
{
    dir_ = ::open(dir_path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return dir_ >= 0 || fail("open", dir_path_, errno);
}

// Polls rather than blocks, so that the wait has an end. The kernel drops
// the lock of a run that dies, so a killed run never holds up later ones.
output_file::opening output_file::lock_directory()
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(lock_wait_seconds_);
    while (flock(dir_, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        if (error == EINTR)
            continue;
        if (error != EWOULDBLOCK) {
            fail("flock", dir_path_, error);
            return opening::failed;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            fail("flock", dir_path_, error);
            return opening::busy;
        }
        timespec pause{0, std::chrono::nanoseconds(lock_retry).count()};
        nanosleep(&pause, nullptr);
    }
    return opening::ready;
}

// ".NAME.peerloom-" before the random part, NAME cut short where the whole
// would be longer than the directory allows a name to be.
std::string output_file::temporary_prefix() const
{
    long name_max = fpathconf(dir_, _PC_NAME_MAX);
    std::size_t longest = name_max > 0 ? static_cast<std::size_t>(name_max) : NAME_MAX;
    std::size_t room = longest - random_part - temporary_marker.size() - 2;
    return "." + base_.substr(0, room) + "." + std::string(temporary_marker);
}

// A run that was killed, or lost its power, leaves its temporary file
// behind. The next run of the same file removes it while it holds the lock,
// so the file cannot belong to a live run.
void output_file::remove_leftovers()
{
    int fd = dup(dir_);
    DIR *listing = fd >= 0 ? fdopendir(fd) : nullptr;
    if (listing == nullptr) {
        if (fd >= 0)
            close(fd);
        return;
    }
    std::string prefix = temporary_prefix();
    while (const dirent *entry = readdir(listing))
        if (is_temporary_name(entry->d_name, prefix))
            unlinkat(dir_, entry->d_name, 0);
    closedir(listing);
}

// The old file must be a plain file that this process could also have
// opened for writing, or not exist at all; and rename must be able to
// replace it.
bool output_file::check_target(struct stat &old, bool &exists)
{
    exists = fstatat(dir_, base_.c_str(), &old, 0) == 0;
    if (!exists)
        return errno == ENOENT || fail("stat", target_, errno);
    if (S_ISDIR(old.st_mode))
        return fail("open", target_, EISDIR);
    if (!S_ISREG(old.st_mode))
        return fail("open", target_, 0, "not a regular file");
    if (faccessat(dir_, base_.c_str(), W_OK, AT_EACCESS) != 0)
        return fail("open", target_, errno);

    struct stat dir;
    if (fstat(dir_, &dir) != 0)
        return fail("fstat", dir_path_, errno);
    if (mounted_over(dir_, base_.c_str(), old, dir))
        return fail("rename", target_, EBUSY);
    // In a sticky directory only the file's owner, the directory's owner or
    // root may replace the file.
    uid_t me = geteuid();
    if ((dir.st_mode & S_ISVTX) && me != 0 && old.st_uid != me && dir.st_uid != me)
        return fail("rename", target_, EPERM);
    return true;
}

// Creates the file in the directory that is open and locked, whatever may
// have been renamed since on the way to it.
bool output_file::create_temporary(const struct stat &old, bool exists)
{
    remove_temporary_on_signals();
    signals_held held;
    std::string prefix = temporary_prefix();
    for (int tries = 0; fd_ < 0; ++tries) {
        temp_name_ = prefix + random_letters();
        fd_ = openat(dir_, temp_name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ < 0 && (errno != EEXIST || tries == 100)) {
            int error = errno;
            fail("open", temporary_path(), error);
            temp_name_.clear();
            return false;
        }
    }
    watch_temporary(dir_, temp_name_.c_str());
    if (!take_attributes(fd_, old, exists)) {
        int error = errno;
        fail("fchmod", temporary_path(), error);
        discard();
        return false;
    }
    return true;
}

std::string output_file::temporary_path() const
{
    return dir_path_ + "/" + temp_name_;
}

void output_file::write_out(std::string_view text)
{
    while (!failed_ && !text.empty()) {
        ssize_t n = write(fd_, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int error = n < 0 ? errno : ENOSPC;
            failed_ = true;
            fail("write", temporary_path(), error);
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
    flush();
    if (failed_)
        return false;
    if (fsync(fd_) != 0) {
        int error = errno;
        return fail("fsync", temporary_path(), error);
    }
    if (close(std::exchange(fd_, -1)) != 0) {
        int error = errno;
        return fail("close", temporary_path(), error);
    }
    return true;
}

// Renames the finished file over the target, then syncs the directory so
// that the rename survives a power cut.
bool output_file::replace_target()
{
    if (renameat(dir_, temp_name_.c_str(), dir_, base_.c_str()) != 0)
        return fail("rename", target_, errno);
    forget_temporary();
    temp_name_.clear();
    return fsync(dir_) == 0 || fail("fsync", dir_path_, errno);
}

bool output_file::commit()
{
    if (finish_writing() && replace_target())
        return true;
    std::printf("Writing %s failed,please check it.\n", path_.c_str());
    report_cause(cause_);
    discard();
    return false;
}

void output_file::discard()
{
    if (fd_ >= 0)
        close(std::exchange(fd_, -1));
    if (!temp_name_.empty()) {
        unlinkat(dir_, temp_name_.c_str(), 0);
        forget_temporary();
        temp_name_.clear();
    }
}
