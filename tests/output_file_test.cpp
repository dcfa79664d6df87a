#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "files/output_file.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace
{

constexpr output_file::opening ready = output_file::opening::ready;
constexpr file_outcome replaced = file_outcome::replaced;

class OutputFile : public ScratchDir
{
};

TEST_F(OutputFile, PiecesOfAnySizeArriveInOrder)
{
    // Sizes around the 64 KiB buffer: pieces that fill it exactly, overrun
    // it, or are larger than all of it.
    const std::size_t sizes[] = {1, 0, 65535, 1, 65536, 3, 70000, 65534, 2, 200000, 7};
    std::string p = path("pieces.conf"), expected;
    output_file out(dir, "pieces.conf", 0);
    ASSERT_EQ(out.open(), ready);
    char fill = 'a';
    for (std::size_t size : sizes) {
        std::string piece(size, fill++);
        out.put(piece);
        expected += piece;
    }
    ASSERT_EQ(out.commit(), replaced);
    EXPECT_EQ(read(p), expected);
}

TEST_F(OutputFile, NewFileGetsTheUmasksPermissions)
{
    for (mode_t mask : {022, 027, 077}) {
        mode_t saved = umask(mask);
        std::string name = "new" + std::to_string(mask) + ".conf", p = path(name);
        file_outcome done = replace(name, "[801]\n");
        umask(saved);
        ASSERT_EQ(done, replaced);
        EXPECT_EQ(read(p), "[801]\n");
        EXPECT_EQ(mode_of(p), 0666 & ~mask) << "umask " << std::oct << mask;
    }
}

TEST_F(OutputFile, ReplacingKeepsPermissionsAndLeavesNoTemporaryFile)
{
    std::string p = path("users.conf");
    write(p, "old\n");
    chmod(p.c_str(), 0640);
    ASSERT_EQ(replace("users.conf", std::string(200000, 'n')), replaced);
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
    ASSERT_EQ(replace("users.conf", "new\n"), replaced);
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
    ASSERT_EQ(replace("users.conf", "new\n"), replaced);
    EXPECT_TRUE(fs::is_symlink(path("users.conf")));
    EXPECT_TRUE(fs::is_symlink(path("hop")));
    EXPECT_EQ(read(path("real/users.conf")), "new\n");
    EXPECT_EQ(fs::directory_iterator(path("real"))->path().filename(), "users.conf");

    fs::create_symlink("real/missing.conf", path("dangling.conf"));
    ASSERT_EQ(replace("dangling.conf", "created\n"), replaced);
    EXPECT_TRUE(fs::is_symlink(path("dangling.conf")));
    EXPECT_EQ(read(path("real/missing.conf")), "created\n");
}

TEST_F(OutputFile, UnreplaceablePathsFailToOpenAndCreateNothing)
{
    fs::create_symlink("loop2", path("loop1"));
    fs::create_symlink("loop1", path("loop2"));
    fs::create_directory(path("adir"));
    for (const char *name : {"loop1", "adir", "nodir/users.conf"}) {
        output_file out(dir, name, 0);
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
        output_file out(dir, "users.conf", 0);
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
            file_outcome done = replace("users.conf", std::string(size, 'x'));
            std::fflush(stdout);
            _exit(done == replaced ? 0 : 1);
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
        ASSERT_EQ(replace(base, "new\n"), replaced);
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
        output_file out(dir, "users.conf", 0);
        EXPECT_EQ(out.open(), output_file::opening::failed);
        EXPECT_STREQ(out.cause().step, "open");
        EXPECT_EQ(out.cause().path, path(planted));
        EXPECT_EQ(out.cause().error, EACCES);
        EXPECT_EQ(read(path("real/users.conf")), "old\n");
        ASSERT_EQ(lchown(path(planted).c_str(), 0, 0), 0);
    }
}

// An access ACL in the kernel's form: a version, then a tag, permissions and
// id for each entry.
std::string acl(std::initializer_list<std::array<std::uint32_t, 3>> entries)
{
    std::string bytes;
    auto put = [&](std::uint32_t value, int size) {
        for (int i = 0; i < size; ++i)
            bytes += static_cast<char>(value >> (8 * i));
    };
    put(2, 4);
    for (const auto &e : entries) {
        put(e[0], 2);
        put(e[1], 2);
        put(e[2], 4);
    }
    return bytes;
}

constexpr std::uint32_t no_id = 0xffffffff;
// user::rw-, user:nobody:r--, group::---, mask::r--, other::---: a file that
// only its owner and the user nobody may read, mode 0640 though it is.
const std::string nobody_reads =
    acl({{0x01, 6, no_id}, {0x02, 4, 65534}, {0x04, 0, no_id}, {0x10, 4, no_id}, {0x20, 0, no_id}});

const char access_acl[] = "system.posix_acl_access";

std::string acl_of(const std::string &p)
{
    char buf[256];
    ssize_t n = getxattr(p.c_str(), access_acl, buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

// The new file has the old file's ACL, or none when the old one had none,
// even where the directory's default ACL would give one.
TEST_F(OutputFile, TheNewFileHasTheOldFilesAcl)
{
    const std::string p = path("users.conf");
    write(p, "old\n");
    if (setxattr(p.c_str(), access_acl, nobody_reads.data(), nobody_reads.size(), 0) != 0)
        GTEST_SKIP() << "no ACLs on " << dir << ": " << std::strerror(errno);
    const struct {
        const char *name;
        std::string old_acl, default_acl;
    } cases[] = {
        {"an ACL that lets a named user read", nobody_reads, ""},
        {"no ACL, where the directory's default gives one", "", nobody_reads},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write(p, "old\n");
        chmod(p.c_str(), 0640);
        removexattr(p.c_str(), access_acl);
        if (!c.old_acl.empty())
            setxattr(p.c_str(), access_acl, c.old_acl.data(), c.old_acl.size(), 0);
        if (!c.default_acl.empty())
            setxattr(dir.c_str(), "system.posix_acl_default", c.default_acl.data(),
                     c.default_acl.size(), 0);
        ASSERT_EQ(replace("users.conf", "new\n"), replaced);
        EXPECT_EQ(acl_of(p), c.old_acl);
        EXPECT_EQ(mode_of(p), 0640u);
    }
}

// How many names were made in, or moved into, the directory watched by
// `watch` since it was last asked; the lock file, made once for good, left
// out.
int names_made(int watch)
{
    int made = 0;
    alignas(inotify_event) char events[4096];
    for (ssize_t n; (n = ::read(watch, events, sizeof events)) > 0;)
        for (char *at = events; at < events + n;) {
            auto *event = reinterpret_cast<inotify_event *>(at);
            made += (event->mask & (IN_CREATE | IN_MOVED_TO)) != 0 &&
                    std::strcmp(event->name, ".peerloom.lock") != 0;
            at += sizeof *event + event->len;
        }
    return made;
}

// A run that would write what the file holds leaves the very file alone, its
// ACL with it, and writes nothing at all: no temporary file is made. Any
// difference, however late, replaces it. Sizes around the buffer, as the
// bytes are compared a buffer at a time.
TEST_F(OutputFile, OnlyAChangeReplacesTheFile)
{
    constexpr file_outcome unchanged = file_outcome::unchanged;
    const std::string big(200000, 'n'), other_end = big.substr(1) + "m";
    const struct {
        const char *name;
        std::string old, now;
        file_outcome outcome;
    } cases[] = {
        {"the same bytes", "[801]\n", "[801]\n", unchanged},
        {"the same bytes, past the buffer", big, big, unchanged},
        {"nothing, as before", "", "", unchanged},
        {"a byte more", big, big + "n", replaced},
        {"a byte less", big, big.substr(1), replaced},
        {"the last byte differs", big, other_end, replaced},
    };
    const std::string p = path("users.conf");
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_MOVED_TO), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write(p, c.old);
        setxattr(p.c_str(), access_acl, nobody_reads.data(), nobody_reads.size(), 0);
        const timespec long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
        utimensat(AT_FDCWD, p.c_str(), long_ago, 0);
        struct stat before = status(p);
        names_made(watch);
        EXPECT_EQ(replace("users.conf", c.now), c.outcome);
        EXPECT_EQ(names_made(watch), c.outcome == unchanged ? 0 : 2); // the temporary file, renamed
        struct stat after = status(p);
        EXPECT_EQ(read(p), c.now);
        EXPECT_EQ(after.st_ino == before.st_ino, c.outcome == unchanged);
        EXPECT_EQ(after.st_mtim.tv_sec == long_ago[1].tv_sec, c.outcome == unchanged);
        EXPECT_EQ(entries(), std::vector<std::string>{"users.conf"});
    }
    close(watch);
}

} // namespace
