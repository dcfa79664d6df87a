#include <csignal>
#include <iostream>
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
    const std::string pid_file = config_path("sleeper.pid");
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

} // namespace
