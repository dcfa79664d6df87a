#include "run/onchange.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "util/console.h"

extern char **environ;

namespace
{

// The signals that end a run from outside; while the command runs, they end
// it as well.
const int ending_signals[] = {SIGINT, SIGTERM, SIGHUP};

// The caller's environment with the two variables the command is told.
std::vector<std::string> command_environment(const std::string &file, char mode)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "PEERLOOM_FILE=", 14) != 0 &&
            std::strncmp(*e, "PEERLOOM_MODE=", 14) != 0)
            env.emplace_back(*e);
    env.push_back("PEERLOOM_FILE=" + file);
    env.push_back(std::string("PEERLOOM_MODE=") + mode);
    return env;
}

// Starts the command in a session of its own, whose process group a
// time-out can end with everything it started there, and which has no
// terminal: a run started from one is never stopped by it (as with
// `stty tostop`) while it waits for the command. The run ignores SIGPIPE and SIGXFSZ for
// its own sake; the command gets them back as they normally are. It gets no
// descriptor but the three standard ones: not the settings file, which
// holds the database password, nor the connection to the database, which a
// command that gives up root's rights must not inherit.
bool spawn(const std::string &command, const std::string &file, char mode, const sigset_t &mask,
           pid_t &pid)
{
    std::vector<std::string> env = command_environment(file, mode);
    std::vector<char *> envp;
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const char *argv[] = {"sh", "-c", command.c_str(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &mask);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);
    int error =
        posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char *const *>(argv), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    errno = error;
    return error == 0;
}

// What wait_for() returns for a command it did not see end.
constexpr int timed_out = -1; // its process group was killed after the wait
constexpr int lost = -2;      // the system knows of no such child any more

// Waits for the command, with those signals held, until it ends or the
// time-out comes; returns its wait status, or timed_out, when its process
// group is killed, or lost. A signal that would end the run is passed on
// to the command's group, and `ending` says which: the run dies of it once
// the command is gone, within the same time.
int wait_for(pid_t pid, const sigset_t &held, int wait_seconds, int &ending)
{
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += wait_seconds;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            // The run is ending: nothing the command started outlives it,
            // whatever ignored the signal.
            if (ending != 0)
                kill(-pid, SIGKILL);
            return status;
        }
        if (done < 0) // not known to have ended well, so not taken for done
            return lost;
        timespec now, left;
        clock_gettime(CLOCK_MONOTONIC, &now);
        left.tv_sec = deadline.tv_sec - now.tv_sec;
        left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
        if (left.tv_nsec < 0) {
            left.tv_nsec += 1000000000L;
            --left.tv_sec;
        }
        if (left.tv_sec < 0) {
            kill(-pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return timed_out;
        }
        int sig = sigtimedwait(&held, nullptr, &left);
        if (sig > 0 && sig != SIGCHLD) {
            kill(-pid, sig);
            ending = sig;
        }
    }
}

std::string reason_of(int status, int wait_seconds)
{
    if (status == timed_out)
        return "still running after " + std::to_string(wait_seconds) + " s; killed";
    if (status == lost)
        return "lost track of it, so it is taken to have failed";
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    return "exited with status " + std::to_string(WEXITSTATUS(status));
}

} // namespace

bool run_onchange(const std::string &command, const std::string &file, char mode, int wait_seconds)
{
    // What the run printed comes before what the command prints.
    std::fflush(stdout);
    // The command is waited for, so it must not be reaped unseen; and a
    // signal that was ignored when the run started stays ignored.
    std::signal(SIGCHLD, SIG_DFL);
    sigset_t held, before;
    sigemptyset(&held);
    sigaddset(&held, SIGCHLD);
    for (int sig : ending_signals) {
        struct sigaction action;
        if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler != SIG_IGN)
            sigaddset(&held, sig);
    }
    sigprocmask(SIG_BLOCK, &held, &before);

    pid_t pid = -1;
    bool spawned = spawn(command, file, mode, before, pid);
    int error = errno;
    int ending = 0;
    int status = spawned ? wait_for(pid, held, wait_seconds, ending) : 0;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (ending != 0)
        raise(ending);
    if (!spawned) {
        report_cause({"onchange", command, error});
        return false;
    }
    if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    std::string reason = reason_of(status, wait_seconds);
    report_cause({"onchange", command, 0, reason.c_str()});
    return false;
}
