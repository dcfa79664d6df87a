#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace
{

const std::string previous = "[previous]\nsecret = kept\n";

// A horncell table big enough that a run's codec traces fill the console
// pipe: a run whose console is not read then stops there, holding the lock.
void fill_horncell(const std::string &secret)
{
    make_table("users_horncell", {"_exten", "_secret", "_alaw", "_ulaw"}, {});
    sql("INSERT INTO users_horncell SELECT seq, '" + secret + "', '1', '1' FROM seq_1000_to_6000");
}

// Reads the run's console until its query is done and the rows are being
// written, then leaves the rest unread.
void wait_for_rows(const started_program &p)
{
    std::string seen;
    char buf[4096];
    while (seen.find("field_count = ") == std::string::npos) {
        ssize_t n = read(p.out_fd, buf, sizeof buf);
        ASSERT_GT(n, 0) << "the run ended before its rows: " << seen;
        seen.append(buf, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> horncell_dir()
{
    return {"peerloom.ini", "users_horncell.conf"};
}

TEST_F(ProgramTest, ALaterRunWaitsAndItsTableStays)
{
    fill_horncell("old");
    started_program first = start_program({"1"});
    wait_for_rows(first);

    sql("UPDATE users_horncell SET _secret = 'new'");
    started_program second = start_program({"1"});
    sleep(1); // time enough for the second run to finish, were it not held
    run_result first_done = finish_program(first);
    run_result second_done = finish_program(second);

    EXPECT_EQ(first_done.status, 0);
    EXPECT_EQ(second_done.status, 0);
    std::string file = read_file(config_path("users_horncell.conf"));
    EXPECT_NE(file.find("[6000]\nsecret = new\n"), std::string::npos);
    EXPECT_EQ(file.find("secret = old"), std::string::npos);
    EXPECT_EQ(config_dir_entries(), horncell_dir());
}

TEST_F(ProgramTest, ARunGivesUpWhenTheDirectoryStaysLocked)
{
    make_table("users_horncell", {"_exten"}, {{"801"}});
    write_file(config_path("users_horncell.conf"), previous);
    int lock = open(config_path(lock_file_name).c_str(), O_RDONLY | O_CREAT, 0600);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    run_result r = run_program({"1"});
    close(lock);
    EXPECT_EQ(r.out, "Connection success!\nAnother run is still writing " +
                         config_path("users_horncell.conf") + "; it is left unchanged.\n");
    EXPECT_EQ(r.err, "peerloom: flock " + config_path(lock_file_name) +
                         ": Resource temporarily unavailable\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(read_file(config_path("users_horncell.conf")), previous);
}

// Whoever may read the directory may lock it too; that holds no run up.
TEST_F(ProgramTest, ALockOnTheDirectoryHoldsNoRunUp)
{
    make_table("users_horncell", {"_exten"}, {{"801"}});
    int dir = open(config_path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(dir, LOCK_EX), 0);
    run_result r = run_program({"1"});
    close(dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

// The lock file is the one name a run adds, and only the running user can
// open it, so that only runs can hold it.
TEST_F(ProgramTest, ARunAddsOnlyItsPrivateLockFile)
{
    make_table("users_horncell", {"_exten"}, {{"801"}});
    EXPECT_EQ(run_program({"1"}).status, 0);
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(config_path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{lock_file_name, "peerloom.ini", "users_horncell.conf"}));
    struct stat st;
    ASSERT_EQ(lstat(config_path(lock_file_name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
}

// A lock file that others could hold, or that leads elsewhere, is refused
// as a file that cannot be created, before anything is written.
TEST_F(ProgramTest, ALockFileThatIsNotTheRunnersOwnIsRefused)
{
    make_table("users_extension", {"_exten"}, {});
    const std::string lock = config_path(lock_file_name);
    const struct {
        const char *name;
        std::function<void()> plant;
        const char *reason;
        bool needs_root;
    } cases[] = {
        {"a link", [&] { symlink("peerloom.ini", lock.c_str()); }, "a symbolic link", false},
        {"another user's file",
         [&] {
             write_file(lock, "");
             chown(lock.c_str(), 65534, 65534);
         },
         "owned by another user", true},
        {"a file others may open",
         [&] {
             write_file(lock, "");
             chmod(lock.c_str(), 0640);
         },
         "open to other users; remove it", false},
        {"a file of two names",
         [&] {
             write_file(lock, "");
             chmod(lock.c_str(), 0600);
             link(lock.c_str(), config_path("lock-too").c_str());
         },
         "a file of more than one name; remove it", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_root && geteuid() != 0) {
            std::cout << "left out, as it needs root: " << c.name << "\n";
            continue;
        }
        clear_config_dir();
        write_good_settings();
        write_file(config_path("users_extension.conf"), previous);
        c.plant();
        run_result r = run_program({"0"});
        EXPECT_EQ(r.out, "Connection success!\nRecieved 0 rows\n"
                         "Creating extension config file failed,please check it.\n");
        EXPECT_EQ(r.err, "peerloom: open " + lock + ": " + c.reason + "\n");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(read_file(config_path("users_extension.conf")), previous);
    }
}

TEST_F(ProgramTest, AnInterruptedRunRemovesItsTemporaryFile)
{
    fill_horncell("s");
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        write_file(config_path("users_horncell.conf"), previous);
        started_program p = start_program({"1"});
        wait_for_rows(p);
        // The temporary file is made at the first difference from the old
        // one, once the first bytes go out; the run then stops on its full
        // console pipe.
        for (int tries = 0; tries < 500 && config_dir_entries().size() < 3; ++tries)
            usleep(10000);
        EXPECT_EQ(config_dir_entries().size(), 3u); // with the temporary file
        kill(p.pid, sig);
        run_result r = finish_program(p);
        EXPECT_EQ(r.signal, sig);
        EXPECT_EQ(read_file(config_path("users_horncell.conf")), previous);
        EXPECT_EQ(config_dir_entries(), horncell_dir());
    }
}

TEST_F(ProgramTest, AClosedConsoleDoesNotStopTheRun)
{
    fill_horncell("s");
    started_program p = start_program({"1"});
    close(p.out_fd);
    p.out_fd = open("/dev/null", O_RDONLY);
    run_result r = finish_program(p);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(config_path("users_horncell.conf")).substr(0, 20),
              "[1000]\nsecret = s\ndi");
}

} // namespace
