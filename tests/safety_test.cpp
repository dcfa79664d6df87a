#include <grp.h>
#include <iostream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

namespace
{

const std::string warning = "something wrong happened to codecs selection.\n";

std::string file_too_large(const mode_target &m)
{
    return "peerloom: write " + config_path(".") + m.file + ".peerloom-XXXXXX: File too large\n";
}

TEST_F(ProgramTest, ColumnsThatWriteNothingAreNotChecked)
{
    check_mode_case("0", "users_extension", "users_extension.conf",
                    {"skipped, codec and dropped empty columns",
                     {"_id", "_exten", "_position", "_alaw", "_ulaw", "_odd;--name", "_note"},
                     {{"1\n2", "801", ";--", "1", "\n", "", "a;b]c--"}},
                     "[801]\nnote = a\\;b]c--\ndisallow = all\nallow = alaw\n",
                     ""});
}

// However early the write fails, every row still shows its console lines,
// and the failure is reported once, at the end.
TEST_F(ProgramTest, FailedWritesAreReportedAndThePreviousFileStays)
{
    const struct {
        const mode_target &mode;
        int rows;
        rlim_t limit;
        std::string per_row; // console lines of one row
    } cases[] = {
        {extension, 50, 4096, ""},   // fails when the file is finished
        {extension, 3000, 4096, ""}, // fails while rows are still being written
        {horncell, 3000, 100000, "codecs len 10\ncodecs = alaw,ulaw\n"},
        {webrtc, 0, 100, ""}, // the template alone does not fit
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.mode.file) + " " + std::to_string(c.rows));
        std::vector<std::vector<cell>> rows;
        for (int i = 0; i < c.rows; ++i)
            rows.push_back({std::to_string(1000 + i), std::string(200, 's'), "1", "1"});
        make_table(c.mode.table, {"_exten", "_secret", "_alaw", "_ulaw"}, rows);

        std::string console = console_head(c.mode, rows.size(), 4);
        for (int i = 0; i < c.rows; ++i)
            console += c.per_row;
        run_options limited;
        limited.file_size_limit = c.limit;
        expect_failed_run(
            c.mode, console + "Writing " + config_path(c.mode.file) + " failed,please check it.\n",
            limited, file_too_large(c.mode));
        clear_config_dir();
        write_good_settings();
    }
}

TEST_F(ProgramTest, FailedWriteOfASmallFileReportsAfterEveryRow)
{
    make_table("users_extension", {"_exten", "_secret"}, {{"801", "a"}, {"802", "b"}});
    run_options limited;
    limited.file_size_limit = 10;
    expect_failed_run(extension,
                      console_head(extension, 2, 2) + warning + warning + "Writing " +
                          config_path("users_extension.conf") + " failed,please check it.\n",
                      limited, file_too_large(extension));
}

TEST_F(ProgramTest, OutputPathThatCannotBeCreated)
{
    make_table("users_extension", {"_exten"}, {});
    make_table("users_webrtc", {"_exten"}, {});
    const struct {
        const mode_target &mode;
        std::string said;
    } cases[] = {
        {extension, "Recieved 0 rows\nCreating extension config file failed,please check it.\n"},
        {webrtc, "cannot open " + config_path("users_webrtc.conf") + " file,please check.\n"},
    };
    for (const auto &c : cases) {
        std::string path = config_path(c.mode.file);
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        run_result r = run_program({c.mode.arg});
        EXPECT_EQ(r.out, "Connection success!\n" + c.said);
        EXPECT_EQ(r.err, "peerloom: open " + path + ": Is a directory\n");
        EXPECT_EQ(r.status, 255);
        struct stat st;
        EXPECT_TRUE(stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    }
    EXPECT_EQ(
        config_dir_entries(),
        (std::vector<std::string>{"peerloom.ini", "users_extension.conf", "users_webrtc.conf"}));
}

TEST_F(ProgramTest, NewFilesFollowTheUmaskAndOldFilesKeepTheirPermissions)
{
    make_table("users_horncell", {"_exten", "_alaw", "_ulaw"}, {{"801", "1", "1"}});
    std::string path = config_path("users_horncell.conf");
    for (mode_t mask : {022, 027}) {
        std::remove(path.c_str());
        run_options opts;
        opts.umask = mask;
        EXPECT_EQ(run_program({"1"}, opts).status, 0);
        EXPECT_EQ(mode_of(path), 0666 & ~mask);
    }
    chmod(path.c_str(), 0600);
    write_file(path, "old\n");
    EXPECT_EQ(run_program({"1"}).status, 0);
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(read_file(path), "[801]\ndisallow = all\nallow = alaw,ulaw\n");
}

// A file that holds a credential and that every user may read is written as
// always, with a warning on standard error that says what mends it.
TEST_F(ProgramTest, AFileOfSecretsThatEveryoneMayReadDrawsAWarning)
{
    const std::string path = config_path("users_horncell.conf");
    const std::string warned = "peerloom: warning: " + path +
                               " holds secrets and everyone may read it; run chmod o-r " + path +
                               "\n";
    const struct {
        const char *name;
        std::vector<std::string> columns;
        cell value;
        mode_t umask;
        std::string err;
    } cases[] = {
        {"a secret, everyone reads", {"_exten", "_secret"}, "pw", 022, warned},
        {"its hash, everyone reads",
         {"_exten", "_md5secret"},
         "0123456789abcdef0123456789abcdef",
         022,
         warned},
        {"a secret, the group alone reads", {"_exten", "_secret"}, "pw", 027, ""},
        {"an empty secret, everyone reads", {"_exten", "_secret"}, "", 022, ""},
        {"no secret, everyone reads", {"_exten", "_context"}, "x", 022, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(path.c_str());
        make_table("users_horncell", c.columns, {{"801", c.value}});
        run_options opts;
        opts.umask = c.umask;
        run_result r = run_program({"1"}, opts);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(mode_of(path), 0666 & ~c.umask);
    }
}

TEST_F(ProgramTest, SymbolicLinkOutputPathStaysALink)
{
    make_table("users_webrtc", {"_exten", "_alaw", "_ulaw"}, {{"901", "1", "1"}});
    ASSERT_EQ(mkdir(config_path("shared").c_str(), 0755), 0);
    ASSERT_EQ(symlink("shared/webrtc.conf", config_path("users_webrtc.conf").c_str()), 0);
    for (int run = 0; run < 2; ++run) { // the target is created, then replaced
        EXPECT_EQ(run_program({"2"}).status, 0);
        struct stat st;
        ASSERT_EQ(lstat(config_path("users_webrtc.conf").c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_NE(read_file(config_path("shared/webrtc.conf")).find("[901](webrtc)\n"),
                  std::string::npos);
    }
    EXPECT_EQ(config_dir_entries(),
              (std::vector<std::string>{"peerloom.ini", "shared", "users_webrtc.conf"}));
}

// From here on the process is the user nobody, as a run by another account.
void become_nobody()
{
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
        _exit(126);
}

// Whether `become` can be done in a child process: a CI container may
// forbid a new mount namespace, and the build tree may be out of nobody's
// reach.
bool child_can(const std::function<void()> &become)
{
    pid_t pid = fork();
    if (pid == 0) {
        become();
        _exit(access(PROGRAM_UNDER_TEST, X_OK) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Mounts `source` over `target` in a mount namespace of this process's own,
// whose mounts are private, so that nothing of it reaches the host's.
void mount_over(const std::string &source, const std::string &target)
{
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
        _exit(125);
}

// Whatever can be known before the query is: the run then says the file
// cannot be created, rather than writing all of it and failing to put it
// in place.
TEST_F(ProgramTest, FilesThatCannotBeReplacedAreRefusedAtCreation)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run as another user and to mount";
    make_table("users_extension", {"_exten"}, {});
    const std::string dir = config_path(), file = config_path("users_extension.conf"),
                      settings = config_path("peerloom.ini"), elsewhere = dir + "-elsewhere";
    write_file(elsewhere, "mounted\n");
    auto mounted = [&] { mount_over(elsewhere, file); };
    const struct {
        const char *name;
        std::function<void()> prepare, in_child;
        std::string cause;
    } cases[] = {
        {"a directory that cannot be read",
         [&] {
             EXPECT_EQ(chown(dir.c_str(), 65534, 65534) | chown(settings.c_str(), 65534, 65534) |
                           chmod(dir.c_str(), 0300),
                       0);
         },
         become_nobody, "peerloom: open " + dir + ": Permission denied\n"},
        {"another user's file in a sticky directory",
         [&] {
             EXPECT_EQ(chown(settings.c_str(), 65534, 65534) | chmod(dir.c_str(), 01777) |
                           chown(file.c_str(), 1234, 1234) | chmod(file.c_str(), 0666),
                       0);
         },
         become_nobody, "peerloom: rename " + file + ": Operation not permitted\n"},
        {"another user's file in a sticky directory, for root too",
         [&] { EXPECT_EQ(chmod(dir.c_str(), 01777) | chown(file.c_str(), 1234, 1234), 0); }, [] {},
         "peerloom: rename " + file + ": Operation not permitted\n"},
        {"a file mounted over the peer file", [] {}, mounted,
         "peerloom: rename " + file + ": Device or resource busy\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        clear_config_dir();
        write_good_settings();
        write_file(file, previous);
        if (!child_can(c.in_child)) {
            std::cout << "left out, as this machine does not allow it: " << c.name << "\n";
            continue;
        }
        c.prepare();
        run_options opts;
        opts.in_child = c.in_child;
        run_result r = run_program({"0"}, opts);
        chmod(dir.c_str(), 0755);
        EXPECT_EQ(r.out, "Connection success!\nRecieved 0 rows\n"
                         "Creating extension config file failed,please check it.\n");
        EXPECT_EQ(r.err, c.cause);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(read_file(file), previous);
        EXPECT_EQ(config_dir_entries(),
                  (std::vector<std::string>{"peerloom.ini", "users_extension.conf"}));
    }
    std::remove(elsewhere.c_str());
}

} // namespace
