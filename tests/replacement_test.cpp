#include <fcntl.h>
#include <sys/stat.h>

#include "harness.h"

namespace
{

// A run that would write the bytes the file holds leaves the very file
// alone, and says so as a replacement would; an edited table replaces it.
TEST_F(ProgramTest, AFileIsReplacedOnlyWhenItsContentChanges)
{
    make_table("users_extension", {"_exten", "_secret"}, {{"801", "old"}});
    const std::string path = config_path("users_extension.conf");
    run_result first = run_program({"0"});
    ASSERT_EQ(first.status, 0);
    const struct {
        std::string secret;
        bool replaced;
    } runs[] = {{"old", false}, {"new", true}};
    for (const auto &run : runs) {
        SCOPED_TRACE(run.secret);
        sql("UPDATE users_extension SET _secret = '" + run.secret + "'");
        const timespec long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
        utimensat(AT_FDCWD, path.c_str(), long_ago, 0);
        struct stat before, after;
        stat(path.c_str(), &before);
        run_result r = run_program({"0"});
        stat(path.c_str(), &after);
        EXPECT_EQ(r.out, first.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(after.st_ino != before.st_ino, run.replaced);
        EXPECT_EQ(after.st_mtim.tv_sec != long_ago[1].tv_sec, run.replaced);
        EXPECT_NE(read_file(path).find("secret = " + run.secret + "\n"), std::string::npos);
        EXPECT_EQ(config_dir_entries(),
                  (std::vector<std::string>{"peerloom.ini", "users_extension.conf"}));
    }
}

} // namespace
