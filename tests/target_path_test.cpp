#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace
{

class TargetPath : public ScratchDir
{
};

// A user who owns a directory on the way to the file swaps one of its
// directories with a link to one of root's, over and over, while root
// runs: each run writes into the directory it walked through or refuses the
// link, and none follows the link to root's directory.
TEST_F(TargetPath, ADirectorySwappedForALinkNeverLeadsARunElsewhere)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to swap the directories as another user";
    const std::string pub = path("race/pub"), gen = pub + "/gen", swap = pub + "/swap";
    fs::create_directories(gen);
    fs::create_directory(path("victim"));
    ASSERT_EQ(chmod(dir.c_str(), 0755) | chown(pub.c_str(), 65534, 65534) |
                  chown(gen.c_str(), 65534, 65534) | symlink(path("victim").c_str(), swap.c_str()) |
                  lchown(swap.c_str(), 65534, 65534) |
                  symlink("race/pub/gen/users.conf", path("users.conf").c_str()),
              0);

    pid_t swapper = fork();
    if (swapper == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(1);
        for (;;)
            renameat2(AT_FDCWD, gen.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE);
    }
    int written = 0;
    for (int run = 0; run < 300; ++run)
        written += replace("users.conf", "new\n") != file_outcome::failed;
    kill(swapper, SIGKILL);
    waitpid(swapper, nullptr, 0);

    EXPECT_TRUE(fs::is_empty(path("victim")));
    EXPECT_GT(written, 0);
}

} // namespace
