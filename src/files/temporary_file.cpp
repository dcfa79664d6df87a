#include "files/temporary_file.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/random.h>
#include <unistd.h>
#include <utility>

namespace
{

// A temporary name is ".NAME." and this marker before six random letters or
// digits.
constexpr std::string_view temporary_marker = "peerloom-";
constexpr std::size_t random_part = 6;

// ".NAME.peerloom-" before the random part, NAME cut short where the whole
// would be longer than the directory allows a name to be.
std::string temporary_prefix(int dir, const std::string &target)
{
    long name_max = fpathconf(dir, _PC_NAME_MAX);
    std::size_t longest = name_max > 0 ? static_cast<std::size_t>(name_max) : NAME_MAX;
    std::size_t room = longest - random_part - temporary_marker.size() - 2;
    return "." + target.substr(0, room) + "." + std::string(temporary_marker);
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

void remove_leftovers(int dir, const std::string &prefix)
{
    int fd = fcntl(dir, F_DUPFD_CLOEXEC, 0);
    DIR *listing = fd >= 0 ? fdopendir(fd) : nullptr;
    if (listing == nullptr) {
        if (fd >= 0)
            close(fd);
        return;
    }
    while (const dirent *entry = readdir(listing))
        if (is_temporary_name(entry->d_name, prefix))
            unlinkat(dir, entry->d_name, 0);
    closedir(listing);
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

} // namespace

bool temporary_file::create(int dir, const std::string &dir_shown, const std::string &target,
                            failure_cause &cause)
{
    dir_ = dir;
    dir_shown_ = dir_shown;
    std::string prefix = temporary_prefix(dir, target);
    remove_leftovers(dir, prefix);
    remove_temporary_on_signals();
    signals_held held;
    for (int tries = 0; fd_ < 0; ++tries) {
        name_ = prefix + random_letters();
        fd_ =
            openat(dir, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ < 0 && (errno != EEXIST || tries == 100)) {
            int error = errno;
            record_failure(cause, "open", path(), error);
            name_.clear();
            return false;
        }
    }
    doomed_dir = dir;
    doomed_name = name_.c_str();
    return true;
}

bool temporary_file::close(failure_cause &cause)
{
    if (::close(std::exchange(fd_, -1)) == 0)
        return true;
    int error = errno;
    return record_failure(cause, "close", path(), error);
}

void temporary_file::renamed()
{
    doomed_name = nullptr;
    name_.clear();
}

void temporary_file::discard()
{
    if (fd_ >= 0)
        ::close(std::exchange(fd_, -1));
    if (!name_.empty()) {
        unlinkat(dir_, name_.c_str(), 0);
        renamed();
    }
}
