#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace
{

// A command that notes what it saw, one line per run: its mode, its file,
// and how many bytes its standard input held. A script, as a settings line
// holds at most 99 characters.
std::string recording_command()
{
    std::string script = config_path("record");
    write_file(script, "echo \"$PEERLOOM_MODE $PEERLOOM_FILE $(wc -c)\" >>" +
                           config_path("hook.log") + "\necho ran\n");
    chmod(script.c_str(), 0755);
    return "sh " + script;
}

std::string hook_log()
{
    return read_file(config_path("hook.log"));
}

// Whether the process still runs: one that was killed may linger as a
// zombie until whoever inherited it reaps it.
bool running(pid_t pid)
{
    for (int tries = 0; tries < 100; ++tries) {
        std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        std::size_t state = stat.rfind(") ");
        if (state == std::string::npos || stat[state + 2] == 'Z')
            return false;
        usleep(10000);
    }
    return true;
}

class Onchange : public ProgramTest
{
  protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        make_table("users_horncell", {"_exten", "_alaw"}, {{"801", "1"}});
    }

    static void set_command(const std::string &command)
    {
        write_good_settings("onchange = " + command + "\n");
    }

    static std::string console(const std::string &hook_output)
    {
        return console_head(horncell, 1, 2) + "codecs len 5\ncodecs = alaw\n" + hook_output;
    }
};

TEST_F(Onchange, RunsOnceAfterAChangeWithItsVariables)
{
    set_command(recording_command());
    run_result first = run_program({"1"});
    EXPECT_EQ(first.out, console("ran\n") + long_banner);
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(first.status, 0);
    std::string seen = "1 " + config_path("users_horncell.conf") + " 0\n";
    EXPECT_EQ(hook_log(), seen);

    // Unchanged, refused and failed runs: no command.
    run_result unchanged = run_program({"1"});
    EXPECT_EQ(unchanged.out, console("") + long_banner);
    make_table("users_horncell", {"_exten", "_alaw"}, {{"80]1", "1"}});
    EXPECT_EQ(run_program({"1"}).status, 255);
    sql("DROP TABLE users_horncell");
    EXPECT_EQ(run_program({"1"}).status, 255);
    EXPECT_EQ(hook_log(), seen);
}

// However the command fails, the new file stays: it is valid.
TEST_F(Onchange, AFailedCommandIsReportedAndEndsTheRun)
{
    // In the working directory, which the command shares: the settings
    // line holds 99 characters at most.
    const std::string pid_file = "onchange-sleeper.pid";
    const struct {
        std::string command, reason;
    } cases[] = {
        {"exit 3", "exited with status 3"},
        {"kill -TERM $$", "killed by signal 15 (Terminated)"},
        {"sleep 30 & echo $! >" + pid_file + "; wait", "still running after 3 s; killed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        std::remove(config_path("users_horncell.conf").c_str());
        set_command(c.command);
        run_result r = run_program({"1"});
        EXPECT_EQ(r.out, console(""));
        EXPECT_EQ(r.err, "peerloom: onchange " + c.command + ": " + c.reason + "\n");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(read_file(config_path("users_horncell.conf")),
                  "[801]\ndisallow = all\nallow = alaw\n");
    }
    // The time-out ended all that the command started.
    EXPECT_FALSE(running(std::stoi(read_file(pid_file))));
    std::remove(pid_file.c_str());
}

TEST_F(Onchange, ASettingsFileOthersMayChangeCannotNameIt)
{
    const std::string path = config_path("peerloom.ini");
    const uid_t mine = static_cast<uid_t>(-1); // as the test wrote it
    const struct {
        const char *name;
        mode_t mode;
        uid_t owner;
        const char *cause;
    } cases[] = {
        {"writable by its group", 0620, mine, "writable by its group"},
        {"another user's", 0600, 1234, "owned by another user"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.owner != mine && geteuid() != 0) {
            std::cout << "left out, as it needs root: " << c.name << "\n";
            continue;
        }
        set_command(recording_command());
        ASSERT_EQ(chmod(path.c_str(), c.mode) | chown(path.c_str(), c.owner, -1), 0);
        run_result r = run_program({"1"});
        EXPECT_EQ(r.out, "File: " + path +
                             " sets onchange, so it must be yours or root's and writable by no "
                             "one else.\n");
        EXPECT_EQ(r.err, "peerloom: fstat " + path + ": " + c.cause + "\n");
        EXPECT_EQ(r.status, 255);
        EXPECT_FALSE(file_exists(config_path("users_horncell.conf")));
    }
    // Without the key the same file is read as always.
    write_good_settings();
    chmod(path.c_str(), 0620);
    EXPECT_EQ(run_program({"1"}).status, 0);
}

// The command gets /dev/null for input whatever the run has, and no
// descriptor but the standard three: not the settings file nor the
// connection to the database.
TEST_F(Onchange, GetsNothingOfTheRunsButItsOutput)
{
    set_command("wc -c; ls /proc/$$/fd");
    run_options fed;
    fed.in_child = [] {
        int feed[2];
        if (pipe(feed) == 0 && write(feed[1], "input", 5) == 5) {
            close(feed[1]);
            dup2(feed[0], STDIN_FILENO);
        }
    };
    run_result r = run_program({"1"}, fed);
    EXPECT_EQ(r.out, console("0\n0\n1\n2\n") + long_banner);
    EXPECT_EQ(r.status, 0);
}

// Runs of one directory take turns for their commands too: a reload is not
// asked of the PBX while another is under way.
TEST_F(Onchange, CommandsOfTwoRunsDoNotOverlap)
{
    make_table("users_extension", {"_exten"}, {{"801"}});
    make_table("users_horncell", {"_exten"}, {{"701"}});
    const std::string log = config_path("turns.log"), script = config_path("turns");
    write_file(script, "echo start >>" + log + "; sleep 1; echo end >>" + log + "\n");
    set_command("sh " + script);
    started_program first = start_program({"0"});
    started_program second = start_program({"1"});
    run_result one = finish_program(first), other = finish_program(second);
    EXPECT_EQ(one.status, 0) << one.out << one.err;
    EXPECT_EQ(other.status, 0) << other.out << other.err;
    EXPECT_EQ(read_file(log), "start\nend\nstart\nend\n");
}

// A reload that failed, timed out, or died with its run is run by every
// later run of the file, changed file or not, until it succeeds; then by none.
TEST_F(Onchange, AReloadThatDidNotHappenIsRunByTheNextRuns)
{
    const std::string file = config_path("users_horncell.conf");
    const std::string started = config_path("started");
    const struct {
        const char *name, *command;
        bool kill_the_run;
    } cases[] = {
        {"the command failed", "exit 1", false},
        {"the command did not end in time", "sleep 30", false},
        {"the run was killed while the command ran", "touch started; sleep 30", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(file.c_str());
        std::remove(config_path("hook.log").c_str());
        std::remove(started.c_str());
        set_command(c.command);
        started_program first = start_program({"1"});
        if (c.kill_the_run) {
            for (int tries = 0; tries < 500 && !file_exists(started); ++tries)
                usleep(10000);
            kill(first.pid, SIGTERM);
        }
        EXPECT_NE(finish_program(first).status, 0);
        ASSERT_EQ(read_file(file), "[801]\ndisallow = all\nallow = alaw\n");
        set_command(recording_command());
        struct stat before, after;
        stat(file.c_str(), &before);
        for (const char *log : {"1 ", "1 "}) { // the second run runs nothing
            run_result r = run_program({"1"});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(hook_log(), std::string(log) + file + " 0\n");
        }
        stat(file.c_str(), &after);
        EXPECT_EQ(after.st_ino, before.st_ino); // the file stayed as it was
    }
}

// A reload still due is run by a later run that refuses a row, or whose
// query fails: the file on disk is one a run wrote whole, and the PBX has
// not read it yet.
TEST_F(Onchange, AReloadStillDueIsRunByARefusedRunToo)
{
    const std::string file = config_path("users_horncell.conf");
    set_command("exit 1");
    EXPECT_EQ(run_program({"1"}).status, 255);
    set_command(recording_command());
    make_table("users_horncell", {"_exten", "_alaw"}, {{"80]1", "1"}});
    run_result refused = run_program({"1"});
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(hook_log(), "1 " + file + " 0\n");
    sql("DROP TABLE users_horncell");
    EXPECT_EQ(run_program({"1"}).status, 255); // no table: nothing due any more
    EXPECT_EQ(hook_log(), "1 " + file + " 0\n");
    EXPECT_EQ(read_file(file), "[801]\ndisallow = all\nallow = alaw\n");
}

// The command has no terminal, so that one the run was started from cannot
// stop it (as with `stty tostop` for a background job) while the run waits.
TEST_F(Onchange, TheCommandHasNoTerminal)
{
    set_command("tr -s ' ' '\\n' </proc/self/stat | sed -n 7p");
    run_options on_a_terminal;
    on_a_terminal.in_child = [] {
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || setsid() < 0)
            _exit(125);
        int terminal = open(ptsname(master), O_RDWR);
        if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0)
            _exit(125);
    };
    run_result r = run_program({"1"}, on_a_terminal);
    EXPECT_EQ(r.out, console("0\n") + long_banner); // tty_nr: none
    EXPECT_EQ(r.status, 0);
}

// A signal that ends the run ends the command as well, and the run within
// its wait, even when the command ignores the signal.
TEST_F(Onchange, ASignalEndsTheRunWithinItsWait)
{
    const std::string started = config_path("started"), script = config_path("stubborn");
    write_file(script, "trap '' INT TERM HUP; touch " + started + "; sleep 30\n");
    set_command("sh " + script);
    started_program p = start_program({"1"});
    for (int tries = 0; !file_exists(started) && tries < 1000; ++tries)
        usleep(10000);
    ASSERT_TRUE(file_exists(started)) << finish_program(p).out;
    auto sent = std::chrono::steady_clock::now();
    kill(p.pid, SIGTERM);
    run_result r = finish_program(p);
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(10));
}

// An onchange line the settings reader would cut would run a command cut
// short.
TEST_F(Onchange, ALineTooLongForTheReaderIsRefused)
{
    set_command("echo " + std::string(90, 'x'));
    run_result r = run_program({"1"});
    EXPECT_EQ(r.out, "File: " + config_path("peerloom.ini") +
                         " has an onchange line longer than 99 characters.\n");
    EXPECT_EQ(r.err, "peerloom: read " + config_path("peerloom.ini") + ": onchange cut short\n");
    EXPECT_EQ(r.status, 255);
}

// The PBX's account may write the configuration directory through its group:
// it renames a peer file of root's, whose lines a row of the table spells,
// onto the settings file. "callerid = " and 88 characters fill a piece of the
// reader, so the rest of the value reads as a line of its own.
TEST_F(Onchange, ASettingsFileInADirectoryOthersMayWriteCannotNameIt)
{
    const std::string dir = config_path(), path = config_path("peerloom.ini"),
                      ran = config_path("ran");
    make_table("users_extension",
               {"_exten", "_dbserverip", "_dbuser", "_dbpasswd", "_dbname", "_callerid"},
               {{"801", TEST_DB_HOST, TEST_DB_USER, TEST_DB_PASSWORD, TEST_DB_NAME,
                 std::string(88, 'x') + "onchange = touch " + ran}});
    ASSERT_EQ(chmod(dir.c_str(), 0775), 0);
    ASSERT_EQ(run_program({"0"}).status, 0);
    ASSERT_EQ(std::rename(config_path("users_extension.conf").c_str(), path.c_str()), 0);

    run_result r = run_program({"0"});
    EXPECT_EQ(r.out, "Directory: " + dir + " is on the way to " + path +
                         ", which sets onchange, so it must be yours or root's and writable by no "
                         "one else; run chmod g-w " +
                         dir + ".\n");
    const std::string line = "peerloom: " + path + " line ";
    EXPECT_EQ(r.err, line + "6: unknown key \"callerid\" ignored; did you mean \"dbuser\"?\n" +
                         line +
                         "7: unknown key \"disallow\" ignored; did you mean \"dbpasswd\"?\n" +
                         line + "8: unknown key \"allow\" ignored; did you mean \"dbtls\"?\n" +
                         "peerloom: fstat " + dir + ": writable by its group\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(file_exists(ran));
    EXPECT_EQ(config_dir_entries(), std::vector<std::string>{"peerloom.ini"});

    // Where no one else may write, the same file is trusted, and its command runs.
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    EXPECT_EQ(run_program({"0"}).status, 0);
    EXPECT_TRUE(file_exists(ran));
}

} // namespace
