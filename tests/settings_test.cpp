#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "run/build_config.h"
#include "run/settings.h"

namespace
{

struct getstring_case {
    const char *line;
    const char *value;
};

TEST(Getstring, CutsTheValueAfterTheFirstEquals)
{
    const getstring_case cases[] = {
        {"dbuser = admin\r\n", "admin"},
        {"dbname=pbx\n", "pbx"},
        {"dbname=  pbx\n", " pbx"},    // only one blank is the separator
        {"dbuser=\n", ""},             // the line feed is the one dropped blank
        {"dbuser=\tadmin\n", "admin"}, // any white space counts as that blank
        {"dbname=pbx", "pbx"},         // last line without a line ending
        {"dbname=pbx \n", "pbx "},     // blanks before the line end stay
        {"dbname=pbx\r", "pbx\r"},     // a lone final CR is no line ending
        {"dbname=p\rx", "p"},          // a CR before the last character ends it
        {"dbname = a=b\n", "a=b"},     // later '=' belong to the value
        {"dbpasswd x = y\n", "y"},     // anything may stand before the '='
        {"dbname=\r\n", ""},
        {"dbname=", ""},
        {"dbname= \n", ""}, // the blank is dropped, then the line feed is cut
    };
    for (const getstring_case &c : cases) {
        std::string dest = "old";
        EXPECT_TRUE(getstring(c.line, dest)) << c.line;
        EXPECT_EQ(dest, c.value) << "line: " << c.line;
    }
}

TEST(Getstring, LineWithoutEqualsLeavesTheSlot)
{
    std::string dest = "kept";
    EXPECT_FALSE(getstring("dbname pbx\n", dest));
    EXPECT_EQ(dest, "kept");
}

class ReadSettings : public ::testing::Test
{
  protected:
    void write(const std::string &content)
    {
        std::ofstream(settings_path(), std::ios::binary) << content;
        chmod(settings_path().c_str(), 0600);
    }
    void TearDown() override { std::remove(settings_path().c_str()); }
};

TEST_F(ReadSettings, FillsTheSlots)
{
    write("dbserverip = 10.0.0.5\r\n"
          "DBUSER=admin\n"     // keys in any letter case
          " dbpasswd = nope\n" // an indented line is ignored
          "dbpasswd= s3cret\n"
          "# dbname = commented\n"
          "dbname = first\n"
          "dbnamex = second\n" // a longer word that begins with a key counts
          "dbuser\n"           // no '=': ignored
          "DRIVER=pjsip\n"
          "dbtlsx = verify\n"
          "dbcafile = /etc/ssl/ca.pem\n"
          "unknown = 1\n");
    db_settings s;
    settings_stream stream = read_settings(s);
    ASSERT_TRUE(stream);
    EXPECT_EQ(s.dbserverip, "10.0.0.5");
    EXPECT_EQ(s.dbuser, "admin");
    EXPECT_EQ(s.dbpasswd, "s3cret");
    EXPECT_EQ(s.dbname, "second");
    EXPECT_EQ(s.driver + " " + s.dbtls + " " + s.dbcafile, "pjsip verify /etc/ssl/ca.pem");
}

TEST_F(ReadSettings, EmptyFileLeavesEverySlotEmpty)
{
    write("");
    db_settings s;
    testing::internal::CaptureStdout();
    settings_stream stream = read_settings(s);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_TRUE(stream);
    EXPECT_EQ(s.dbserverip + s.dbuser + s.dbpasswd + s.dbname, "");
}

TEST_F(ReadSettings, LongLinesArriveInPiecesOf99Characters)
{
    // The first piece holds "dbname=" and 92 x's; the rest of the line is a
    // piece of its own, which counts only if it begins with a key.
    std::string value(92, 'x');
    write("dbname=" + value + "dbuser=tail\n" + "dbpasswd=" + std::string(200, 'p') + "\n");
    db_settings s;
    settings_stream stream = read_settings(s);
    ASSERT_TRUE(stream);
    EXPECT_EQ(s.dbname, value);
    EXPECT_EQ(s.dbuser, "tail");
    EXPECT_EQ(s.dbpasswd, std::string(90, 'p')); // nothing is cut to a fixed slot size
}

template <typename T> struct choice_case {
    const char *word;
    T chosen; // what the word chooses; for an unknown word, the value left alone
    bool known;
};

// Puts each word in `slot`, chooses, and checks the choice and what is said.
template <typename T>
void check_choices(std::string db_settings::*slot, bool (*choose)(const db_settings &, T &),
                   const std::vector<choice_case<T>> &cases, const std::string &unknown)
{
    for (const choice_case<T> &c : cases) {
        db_settings s;
        s.*slot = c.word;
        T chosen = cases.front().chosen;
        testing::internal::CaptureStdout();
        EXPECT_EQ(choose(s, chosen), c.known) << c.word;
        std::string said = testing::internal::GetCapturedStdout();
        EXPECT_EQ(chosen, c.chosen) << c.word;
        std::string expected = "Unknown " + unknown;
        expected.replace(expected.find("%s"), 2, c.word);
        EXPECT_EQ(said, c.known ? "" : expected) << c.word;
    }
}

TEST(ChooseWords, AnyLetterCaseAndEmptyForTheFirst)
{
    const std::string in = "\" in " + settings_path() + ": use ";
    check_choices<peer_form>(&db_settings::driver, choose_driver,
                             {{"", peer_form::sip, true},
                              {"SIP", peer_form::sip, true},
                              {"PjSip", peer_form::pjsip, true},
                              {"chan_sip", peer_form::sip, false},
                              {"pjsip ", peer_form::sip, false}},
                             "driver \"%s" + in + "sip or pjsip.\n");
    check_choices<tls_mode>(&db_settings::dbtls, choose_dbtls,
                            {{"", tls_mode::off, true},
                             {"Off", tls_mode::off, true},
                             {"ON", tls_mode::on, true},
                             {"verify", tls_mode::verify, true},
                             {"required", tls_mode::off, false}},
                            "dbtls \"%s" + in + "off, on or verify.\n");
}

struct onchange_line_case {
    const char *name;
    std::string content;
    std::string onchange; // the command read; empty when the file is refused
    std::string out, err;
};

TEST_F(ReadSettings, AnOnchangeLineIsReadWholeOrRefused)
{
    const std::string path = settings_path(), x88(88, 'x');
    const std::string too_long =
                          "File: " + path + " has an onchange line longer than 99 characters.\n",
                      cut = "peerloom: read " + path + ": onchange cut short\n",
                      nul = "File: " + path + " has a NUL byte in its onchange line.\n",
                      nul_cause = "peerloom: read " + path + ": NUL byte in onchange\n";
    const onchange_line_case cases[] = {
        {"99 characters and a line feed", "onchange = " + x88 + "\n", x88, "", ""},
        {"99 characters and a CR LF", "onchange = " + x88 + "\r\n", x88, "", ""},
        {"99 characters at the end of the file", "onchange = " + x88, x88, "", ""},
        {"100 characters", "onchange = " + x88 + "y\n", "", too_long, cut},
        // The CR is the 99th character: the piece alone would keep it.
        {"98 characters and a CR LF", "onchange = " + x88.substr(1) + "\r\n", "", too_long, cut},
        {"a NUL byte in the command", std::string("onchange = echo a\0b\n", 20), "", nul,
         nul_cause},
        {"a NUL byte for a command", std::string("onchange = \0echo\n", 17), "", nul, nul_cause},
    };
    for (const onchange_line_case &c : cases) {
        SCOPED_TRACE(c.name);
        write(c.content);
        db_settings s;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        settings_stream stream = read_settings(s);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(static_cast<bool>(stream), !c.onchange.empty());
        if (stream) {
            EXPECT_EQ(s.onchange, c.onchange);
        }
    }
}

TEST_F(ReadSettings, LinesThatLookLikeSettingsButNoKeyTakesAreNamed)
{
    const std::string at = "peerloom: " + settings_path() + " line ";
    const struct {
        std::string content, err;
    } cases[] = {
        {"dbname = pbx\ndirver = pjsip\n",
         at + "2: unknown key \"dirver\" ignored; did you mean \"driver\"?\n"},
        {"  DRIVER =pjsip\r\n\tdb user= me\n",
         at +
             "1: indented key \"DRIVER\" ignored; did you mean \"driver\" at the start of the "
             "line?\n" +
             at +
             "2: indented key \"db user\" ignored; did you mean \"dbuser\" at the start of "
             "the line?\n"},
        // Comments, lines without '=', and lines that a key takes.
        {"; driver = pjsip\n  # dbuser = me\n[general]\ndbuser\nDbNameX = pbx\nmaxdrop=1\n", ""},
        // A long line's second piece is no line of its own.
        {"dbname=" + std::string(92, 'x') + "sip_driver = x\ndbusr = me\n",
         at + "2: unknown key \"dbusr\" ignored; did you mean \"dbuser\"?\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.content);
        write(c.content);
        db_settings s;
        testing::internal::CaptureStderr();
        EXPECT_TRUE(read_settings(s));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    }
}

// Reads the settings, as this process or as the user nobody in a child: true
// when they could be used and name the command "true".
bool reads_onchange(bool as_nobody)
{
    auto read = [] {
        db_settings s;
        return read_settings(s) && s.onchange == "true";
    };
    if (!as_nobody)
        return read();
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        bool read_it =
            setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0 && read();
        std::fflush(stdout);
        _exit(read_it ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whether the user nobody can reach `dir`: the build tree may be out of its reach.
bool nobody_reaches(const std::string &dir)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(setgid(65534) == 0 && setuid(65534) == 0 && access(dir.c_str(), X_OK) == 0 ? 0 : 1);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// user::rwx, user:nobody:rwx, group::r-x, mask::rwx, other::r-x: a directory
// that nobody may write, mode 0775 through the mask.
std::string nobody_writes_acl()
{
    std::string bytes;
    auto put = [&](unsigned value, int size) {
        for (int i = 0; i < size; ++i)
            bytes += static_cast<char>(value >> (8 * i));
    };
    put(2, 4);
    const unsigned entries[][3] = {
        {0x01, 7, ~0u}, {0x02, 7, 65534}, {0x04, 5, ~0u}, {0x10, 7, ~0u}, {0x20, 5, ~0u}};
    for (const auto &e : entries) {
        put(e[0], 2);
        put(e[1], 2);
        put(e[2], 4);
    }
    return bytes;
}

// The settings file is reached through a link, two directories down, so that
// each case can open the file, or a directory on the way, to someone else.
TEST_F(ReadSettings, OnchangeNeedsAPathThatOnlyItsOwnerMayChange)
{
    namespace fs = std::filesystem;
    const std::string path = settings_path(), outer = std::string(config_dir) + "/outer",
                      inner = outer + "/inner", file = inner + "/peerloom.ini";
    const std::string file_says =
        "File: " + path +
        " sets onchange, so it must be yours or root's and writable by no one "
        "else.\n";
    auto dir_says = [&](const std::string &dir, const std::string &fix) {
        return "Directory: " + dir + " is on the way to " + path +
               ", which sets onchange, so it must be yours or root's and writable by no one "
               "else; run " +
               fix + ".\n";
    };
    auto cause = [](const std::string &of, const char *why) {
        return "peerloom: fstat " + of + ": " + why + "\n";
    };
    const std::string acl = nobody_writes_acl();
    const struct {
        const char *name;
        std::function<bool()> spoil; // false when this machine cannot do it
        std::string out, err;        // none when the file is read
        bool needs_root = false, as_nobody = false;
    } cases[] = {
        {"a clean path", [] { return true; }, "", ""},
        {"the file another user's", [&] { return chown(file.c_str(), 1234, -1) == 0; }, file_says,
         cause(path, "owned by another user"), true},
        {"the file writable by its group", [&] { return chmod(file.c_str(), 0620) == 0; },
         file_says, cause(path, "writable by its group")},
        {"a directory another user's, and writable by its group",
         [&] { return chown(outer.c_str(), 1234, -1) == 0 && chmod(outer.c_str(), 0775) == 0; },
         dir_says(outer, "chown root " + outer + " and chmod g-w " + outer),
         cause(outer, "owned by another user"), true},
        {"a directory writable by its group", [&] { return chmod(inner.c_str(), 0775) == 0; },
         dir_says(inner, "chmod g-w " + inner), cause(inner, "writable by its group")},
        {"a directory writable by everyone", [&] { return chmod(outer.c_str(), 0757) == 0; },
         dir_says(outer, "chmod o-w " + outer), cause(outer, "writable by everyone")},
        {"a directory whose ACL lets another user write",
         [&] {
             return setxattr(inner.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) ==
                    0;
         },
         dir_says(inner, "chmod g-w " + inner), cause(inner, "writable by its group")},
        {"as another user, its own file and directory",
         [&] {
             return chown(inner.c_str(), 65534, -1) == 0 && chown(file.c_str(), 65534, -1) == 0 &&
                    nobody_reaches(inner);
         },
         "", "", true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(outer);
        fs::create_directories(inner);
        ASSERT_EQ(chmod(outer.c_str(), 0755) | chmod(inner.c_str(), 0755), 0);
        std::ofstream(file) << "onchange = true\n";
        ASSERT_EQ(chmod(file.c_str(), 0600), 0);
        std::remove(path.c_str());
        ASSERT_EQ(symlink("outer/inner/peerloom.ini", path.c_str()), 0);
        if ((c.needs_root && geteuid() != 0) || !c.spoil()) {
            std::cout << "left out, as this machine does not allow it: " << c.name << "\n";
            continue;
        }
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        bool read = reads_onchange(c.as_nobody);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(read, c.out.empty());
    }
    fs::remove_all(outer);
}

TEST(ChooseMaxdrop, ANumberOrAPercentageUpTo100)
{
    const std::string most = std::to_string(ULONG_MAX);
    const struct {
        std::string value;
        bool known;
        drop_limit limit;
    } cases[] = {
        {"", true, {}},
        {"20", true, {true, 20, false}},
        {"007%", true, {true, 7, true}},
        {"100%", true, {true, 100, true}},
        {most, true, {true, ULONG_MAX, false}},
        {"101%", false, {}},
        {most + "0", false, {}},
        {"+5", false, {}},
        {"5 ", false, {}},
        {"%", false, {}},
        {"20%%", false, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        db_settings s;
        s.maxdrop = c.value;
        drop_limit limit{true, 1, true};
        testing::internal::CaptureStdout();
        EXPECT_EQ(choose_maxdrop(s, limit), c.known);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  c.known ? ""
                          : "Unknown maxdrop \"" + c.value + "\" in " + settings_path() +
                                ": use a number, or a percentage up to 100%.\n");
        if (c.known) {
            EXPECT_TRUE(limit.set == c.limit.set && limit.most == c.limit.most &&
                        limit.percent == c.limit.percent);
        }
    }
}

TEST_F(ReadSettings, MissingFileSaysSoAndGivesNoStream)
{
    db_settings s;
    testing::internal::CaptureStdout();
    settings_stream stream = read_settings(s);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "File: " + std::string(config_dir) + "/peerloom.ini is not open ,fail.\n");
    EXPECT_FALSE(stream);
}

} // namespace
