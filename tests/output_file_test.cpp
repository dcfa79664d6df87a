#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "peers/output_file.h"

namespace fs = std::filesystem;

namespace
{

constexpr output_file::opening ready = output_file::opening::ready;

class OutputFile : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char name[] = "/tmp/peerloom-output-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string &name) const { return dir + "/" + name; }

    static std::string read(const std::string &p)
    {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static void write(const std::string &p, const std::string &content)
    {
        std::ofstream(p, std::ios::binary) << content;
    }
    static mode_t mode_of(const std::string &p)
    {
        struct stat st;
        stat(p.c_str(), &st);
        return st.st_mode & 07777;
    }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    static bool replace(const std::string &p, const std::string &content)
    {
        output_file out(p, 0);
        if (out.open() != ready)
            return false;
        out.put(content);
        return out.commit();
    }

    std::string dir;
};

TEST_F(OutputFile, PiecesOfAnySizeArriveInOrder)
{
    // Sizes around the 64 KiB buffer: pieces that fill it exactly, overrun
    // it, or are larger than all of it.
    const std::size_t sizes[] = {1, 0, 65535, 1, 65536, 3, 70000, 65534, 2, 200000, 7};
    std::string p = path("pieces.conf"), expected;
    output_file out(p, 0);
    ASSERT_EQ(out.open(), ready);
    char fill = 'a';
    for (std::size_t size : sizes) {
        std::string piece(size, fill++);
        out.put(piece);
        expected += piece;
    }
    ASSERT_TRUE(out.commit());
    EXPECT_EQ(read(p), expected);
}

TEST_F(OutputFile, NewFileGetsTheUmasksPermissions)
{
    for (mode_t mask : {022, 027, 077}) {
        mode_t saved = umask(mask);
        std::string p = path("new" + std::to_string(mask) + ".conf");
        bool done = replace(p, "[801]\n");
        umask(saved);
        ASSERT_TRUE(done);
        EXPECT_EQ(read(p), "[801]\n");
        EXPECT_EQ(mode_of(p), 0666 & ~mask) << "umask " << std::oct << mask;
    }
}

TEST_F(OutputFile, ReplacingKeepsPermissionsAndLeavesNoTemporaryFile)
{
    std::string p = path("users.conf");
    write(p, "old\n");
    chmod(p.c_str(), 0640);
    ASSERT_TRUE(replace(p, std::string(200000, 'n')));
    EXPECT_EQ(read(p), std::string(200000, 'n'));
    EXPECT_EQ(mode_of(p), 0640u);
    EXPECT_EQ(entries(), std::vector<std::string>{"users.conf"});
}

TEST_F(OutputFile, ReplacingKeepsOwnerAndGroup)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a file to another owner";
    std::string p = path("users.conf");
    write(p, "old\n");
    ASSERT_EQ(chown(p.c_str(), 1234, 4321), 0);
    ASSERT_TRUE(replace(p, "new\n"));
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 4321u);
}

TEST_F(OutputFile, SymbolicLinksStayAndTheirTargetIsReplaced)
{
    fs::create_directory(path("real"));
    write(path("real/users.conf"), "old\n");
    fs::create_symlink("real/users.conf", path("hop"));
    fs::create_symlink(path("hop"), path("users.conf")); // two hops, absolute then relative
    ASSERT_TRUE(replace(path("users.conf"), "new\n"));
    EXPECT_TRUE(fs::is_symlink(path("users.conf")));
    EXPECT_TRUE(fs::is_symlink(path("hop")));
    EXPECT_EQ(read(path("real/users.conf")), "new\n");
    EXPECT_EQ(fs::directory_iterator(path("real"))->path().filename(), "users.conf");

    fs::create_symlink("real/missing.conf", path("dangling.conf"));
    ASSERT_TRUE(replace(path("dangling.conf"), "created\n"));
    EXPECT_TRUE(fs::is_symlink(path("dangling.conf")));
    EXPECT_EQ(read(path("real/missing.conf")), "created\n");
}

TEST_F(OutputFile, UnreplaceablePathsFailToOpenAndCreateNothing)
{
    fs::create_symlink("loop2", path("loop1"));
    fs::create_symlink("loop1", path("loop2"));
    fs::create_directory(path("adir"));
    for (const char *name : {"loop1", "adir", "nodir/users.conf"}) {
        output_file out(path(name), 0);
        EXPECT_EQ(out.open(), output_file::opening::failed) << name;
    }
    EXPECT_EQ(entries(), (std::vector<std::string>{"adir", "loop1", "loop2"}));
    EXPECT_TRUE(fs::is_empty(path("adir")));
}

TEST_F(OutputFile, AbandonedFileLeavesTheOldOneAndNoTemporaryFile)
{
    std::string p = path("users.conf");
    write(p, "old\n");
    {
        output_file out(p, 0);
        ASSERT_EQ(out.open(), ready);
        out.put(std::string(300000, 'x')); // some of it already written out
        EXPECT_EQ(entries().size(), 2u);
    }
    EXPECT_EQ(read(p), "old\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"users.conf"});
}

// A full disk, without root: a child process with a small file-size limit
// and SIGXFSZ ignored, so that writes fail with EFBIG.
TEST_F(OutputFile, FailedWriteIsReportedAndKeepsTheOldFile)
{
    std::string p = path("users.conf");
    write(p, "old\n");
    for (std::size_t size : {std::size_t(5000), std::size_t(500000)}) {
        int pipe_fd[2];
        ASSERT_EQ(pipe(pipe_fd), 0);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(pipe_fd[1], STDOUT_FILENO);
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit{4096, 4096};
            setrlimit(RLIMIT_FSIZE, &limit);
            bool done = replace(p, std::string(size, 'x'));
            std::fflush(stdout);
            _exit(done ? 0 : 1);
        }
        close(pipe_fd[1]);
        std::string said;
        char buf[256];
        for (ssize_t n; (n = ::read(pipe_fd[0], buf, sizeof buf)) > 0;)
            said.append(buf, static_cast<std::size_t>(n));
        close(pipe_fd[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << size;
        EXPECT_EQ(said, "Writing " + p + " failed,please check it.\n");
        EXPECT_EQ(read(p), "old\n");
        EXPECT_EQ(entries(), std::vector<std::string>{"users.conf"});
    }
}

// What a killed run left for this file goes; every other name stays. Names
// of any length the system takes work, the temporary one cut to fit.
TEST_F(OutputFile, LeftoversOfTheSameFileAreRemoved)
{
    for (std::string base : {std::string("users.conf"), std::string(250, 'u') + ".conf"}) {
        std::string temp = "." + base.substr(0, 238) + ".peerloom-";
        write(path(temp + "AbC123"), "left by a killed run\n");
        std::vector<std::string> others;
        for (std::string other : {temp + "Ab-123", temp + "AbC1234", "." + base + ".backup",
                                  std::string(".other.conf.peerloom-AbC123")}) {
            write(path(other), "not ours\n");
            std::error_code too_long; // a name one byte too long cannot be made
            if (fs::exists(path(other), too_long))
                others.push_back(other);
        }
        ASSERT_TRUE(replace(path(base), "new\n"));
        EXPECT_EQ(read(path(base)), "new\n");
        EXPECT_FALSE(fs::exists(path(temp + "AbC123")));
        for (const std::string &other : others)
            EXPECT_TRUE(fs::exists(path(other))) << other;
        fs::remove_all(dir);
        fs::create_directory(dir);
    }
}

// Whether the link is the file's name or a directory on the way to it.
TEST_F(OutputFile, LinksOfOtherUsersAreNotFollowed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a link to another user";
    fs::create_directory(path("real"));
    write(path("real/users.conf"), "old\n");
    fs::create_symlink("real", path("peers"));
    fs::create_symlink("peers/users.conf", path("users.conf"));
    for (const char *planted : {"peers", "users.conf"}) {
        ASSERT_EQ(lchown(path(planted).c_str(), 1234, 1234), 0);
        output_file out(path("users.conf"), 0);
        EXPECT_EQ(out.open(), output_file::opening::failed);
        EXPECT_STREQ(out.cause().step, "open");
        EXPECT_EQ(out.cause().path, path(planted));
        EXPECT_EQ(out.cause().error, EACCES);
        EXPECT_EQ(read(path("real/users.conf")), "old\n");
        ASSERT_EQ(lchown(path(planted).c_str(), 0, 0), 0);
    }
}

} // namespace
