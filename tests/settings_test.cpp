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

// Runs `body` in a child that is the user nobody; its exit status, or -1.
int as_nobody(const std::function<int()> &body)
{
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0)
        _exit(setgroups(0, nullptr) | setgid(65534) | setuid(65534) ? 126 : body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct reading {
    bool used; // read_settings handed back a stream
    std::string out, err;
};

// Reads the settings file with both streams captured, as the user nobody
// when `by_nobody`.
reading read_captured(db_settings &s, bool by_nobody = false)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    bool used = by_nobody ? as_nobody([&] {
                                bool read = static_cast<bool>(read_settings(s));
                                std::fflush(stdout);
                                return read ? 0 : 1;
                            }) == 0
                          : static_cast<bool>(read_settings(s));
    std::string out = testing::internal::GetCapturedStdout();
    return {used, out, testing::internal::GetCapturedStderr()};
}

TEST_F(ReadSettings, LinesItRefusesOrWarnsOf)
{
    const std::string path = settings_path(), at = "peerloom: " + path + " line ", x88(88, 'x');
    const struct {
        std::string content, onchange, out, err;
    } cases[] = {
        {"onchange = " + x88 + "\n", x88, "", ""},
        {"onchange = " + x88 + "\r\n", x88, "", ""},
        // Its CR is the 99th character, which the piece alone would keep.
        {"onchange = " + x88.substr(1) + "\r\n", "",
         "File: " + path + " has an onchange line longer than 99 characters.\n",
         "peerloom: read " + path + ": onchange cut short\n"},
        {std::string("onchange = echo a\0b\n", 20), "",
         "File: " + path + " has a NUL byte in its onchange line.\n",
         "peerloom: read " + path + ": NUL byte in onchange\n"},
        {"dbname = pbx\ndirver = pjsip\n", "", "",
         at + "2: unknown key \"dirver\" ignored; did you mean \"driver\"?\n"},
        {"  DRIVER =pjsip\r\n", "", "",
         at + "1: indented key \"DRIVER\" ignored; did you mean \"driver\" at the start of the "
              "line?\n"},
        {"; driver = pjsip\n  # dbuser = me\n[general]\nDbNameX = pbx\nmaxdrop=1\n", "", "", ""},
        // The second piece of a long line is no line of its own.
        {"dbname=" + std::string(92, 'x') + "sip_driver = x\ndbusr = me\n", "", "",
         at + "2: unknown key \"dbusr\" ignored; did you mean \"dbuser\"?\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.content);
        write(c.content);
        db_settings s;
        reading r = read_captured(s);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.used, c.out.empty());
        EXPECT_EQ(r.used ? s.onchange : "", c.onchange);
    }
}

// The settings file at the end of a link, two directories down: each case
// opens the file, or a directory on the way, to someone else.
TEST_F(ReadSettings, OnchangeNeedsAPathOnlyItsOwnerMayChange)
{
    const std::string path = settings_path(), outer = std::string(config_dir) + "/outer",
                      inner = outer + "/inner", file = inner + "/peerloom.ini";
    auto dir_says = [&](const std::string &dir, const std::string &fix) {
        return "Directory: " + dir + " is on the way to " + path +
               ", which sets onchange, so it must be yours or root's and writable by no one "
               "else; run " +
               fix + ".\n";
    };
    // user::rwx, user:nobody:rwx, group::r-x, mask::rwx, other::r-x
    const char acl[] =
        "\2\0\0\0\1\0\7\0\xff\xff\xff\xff\2\0\7\0\xfe\xff\0\0\4\0\5\0\xff\xff\xff\xff"
        "\x10\0\7\0\xff\xff\xff\xff\x20\0\5\0\xff\xff\xff\xff";
    const struct {
        const char *name;
        std::function<int()> spoil; // not 0 when this machine cannot do it
        std::string out, cause;     // none when the file is read
        bool by_nobody = false;
    } cases[] = {
        {"a clean path", [] { return 0; }, "", ""},
        {"a directory another user's and its group's",
         [&] { return chown(outer.c_str(), 1234, -1) | chmod(outer.c_str(), 0775); },
         dir_says(outer, "chown root " + outer + " and chmod g-w " + outer),
         outer + ": owned by another user"},
        {"a directory writable by everyone", [&] { return chmod(inner.c_str(), 0757); },
         dir_says(inner, "chmod o-w " + inner), inner + ": writable by everyone"},
        {"a sticky directory that everyone may write, as /tmp",
         [&] { return chmod(inner.c_str(), 01777); }, "", ""},
        {"a file of a second name, which others could have linked there",
         [&] { return link(file.c_str(), (outer + "/other-name").c_str()); },
         "File: " + path +
             " sets onchange, so it must be yours or root's and writable by no one else.\n",
         path + ": a file of more than one name"},
        {"a directory whose ACL lets another user write",
         [&] { return setxattr(inner.c_str(), "system.posix_acl_access", acl, 44, 0); },
         dir_says(inner, "chmod g-w " + inner), inner + ": writable by its group"},
        {"another user's own file and directory, as that user",
         [&] {
             return chown(inner.c_str(), 65534, -1) | chown(file.c_str(), 65534, -1) |
                    as_nobody([&] { return access(inner.c_str(), X_OK); });
         },
         "", "", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(outer);
        std::filesystem::create_directories(inner);
        std::ofstream(file) << "onchange = true\n";
        std::remove(path.c_str());
        ASSERT_EQ(chmod(outer.c_str(), 0755) | chmod(inner.c_str(), 0755) |
                      chmod(file.c_str(), 0600) | symlink("outer/inner/peerloom.ini", path.c_str()),
                  0);
        if (c.spoil() != 0) {
            std::cout << "left out, as this machine does not allow it: " << c.name << "\n";
            continue;
        }
        db_settings s;
        reading r = read_captured(s, c.by_nobody);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.cause.empty() ? "" : "peerloom: fstat " + c.cause + "\n");
        EXPECT_EQ(r.used, c.out.empty());
    }
    std::filesystem::remove_all(outer);
}

TEST(ChooseMaxdrop, ANumberOrAPercentageUpTo100)
{
    const std::string most = std::to_string(ULONG_MAX);
    const struct {
        std::string value;
        bool known;
        unsigned long most;
        bool percent;
    } cases[] = {{"", true, 0, false},      {"007", true, 7, false},
                 {"100%", true, 100, true}, {most, true, ULONG_MAX, false},
                 {"101%", false, 0, false}, {most + "0", false, 0, false},
                 {"+5", false, 0, false},   {"20%%", false, 0, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        db_settings s;
        s.maxdrop = c.value;
        drop_limit limit;
        testing::internal::CaptureStdout();
        EXPECT_EQ(choose_maxdrop(s, limit), c.known);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  c.known ? ""
                          : "Unknown maxdrop \"" + c.value + "\" in " + settings_path() +
                                ": use a number, or a percentage up to 100%.\n");
        EXPECT_TRUE(limit.set == (c.known && !c.value.empty()) && limit.most == c.most &&
                    limit.percent == c.percent);
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
