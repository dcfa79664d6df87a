#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "conf/section_names.h"

namespace
{

std::vector<std::string> names_in(const std::string &path, bool &read)
{
    std::vector<std::string> names;
    failure_cause cause;
    file_set seen;
    read = read_section_names(
        path, "/nonexistent", seen,
        [&](std::string_view name, const std::string &, bool is_template) {
            if (!is_template)
                names.emplace_back(name);
        },
        cause);
    return names;
}

// What the PBX would read as the names of objects, wherever the file's
// pieces happen to end.
TEST(SectionNames, AreReadAsThePbxReadsThem)
{
    using names = std::vector<std::string>;
    const std::size_t window = 1 << 22;         // what the reader maps at a time
    const std::string filler(window - 10, 'x'); // puts the next header across a window's end
    const struct {
        const char *name;
        std::string text;
        names expected;
    } cases[] = {
        {"headers, repeats, templates, comments and values",
         "[801]\ntype = endpoint\n[801]\n[802](webrtc)\n \t[803]\n;[804]\nx = [805]\n"
         "[webrtc](!)\n[806](x,!)\n[807",
         {"801", "802", "803"}},
        {"a name the PBX cuts, and a last line without its line feed",
         "[" + std::string(90, 'n') + "]\n[808]",
         {std::string(79, 'n'), "808"}},
        {"a header across the end of a piece",
         "[a]\n" + filler + "\n[boundary]\n[b]\n",
         {"a", "boundary", "b"}},
        {"a line longer than a piece is skipped whole",
         "[c]\n" + std::string(200000, 'y') + "[d]\n[e]\n",
         {"c", "e"}},
    };
    char dir[] = "/tmp/peerloom-names-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/users_horncell.conf";
    for (const auto &c : cases) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.text;
        bool read = false;
        EXPECT_EQ(names_in(path, read), c.expected) << c.name;
        EXPECT_TRUE(read) << c.name;
    }
    bool read = false;
    EXPECT_TRUE(names_in(std::string(dir) + "/missing.conf", read).empty());
    EXPECT_TRUE(read);
    EXPECT_TRUE(names_in(dir, read).empty()); // a directory holds no sections
    EXPECT_TRUE(read);
    unlink(path.c_str());
    rmdir(dir);
}

// A file cut short while it is read fails the read; it does not end the run.
TEST(SectionNames, AFileCutShortWhileReadIsAFailedRead)
{
    char dir[] = "/tmp/peerloom-names-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/users_webrtc.conf";
    std::ofstream(path, std::ios::binary) << "[a]\n" << std::string(6 << 20, 'x') << "\n[b]\n";
    failure_cause cause;
    file_set seen;
    bool read = read_section_names(
        path, dir, seen,
        [&](std::string_view, const std::string &, bool) { truncate(path.c_str(), 100); }, cause);
    EXPECT_FALSE(read);
    EXPECT_STREQ(cause.step, "read");
    EXPECT_STREQ(cause.reason, "cut short while it was read");
    unlink(path.c_str());
    rmdir(dir);
}

} // namespace
