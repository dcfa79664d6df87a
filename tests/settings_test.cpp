#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

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
