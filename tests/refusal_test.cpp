#include "harness.h"

namespace
{

// Rows that would make the PBX read the file otherwise than the table means
// it: the run refuses them, naming the first one, and the previous file stays.

const std::string warning = "something wrong happened to codecs selection.\n";

struct refusal_case {
    const char *name;
    const mode_target &mode;
    std::vector<std::string> columns;
    std::vector<std::vector<cell>> rows;
    std::string before;  // console lines of the rows written before the refused one
    std::string refusal; // "Row %lu column %s holds %s" of the refused row
    bool pjsip = false;  // in the PJSIP form
    // Other peer files put in the directory first: name and content.
    std::vector<std::pair<const char *, std::string>> others = {};
};

const refusal_case refusal_cases[] = {
    {"line feed in a value",
     extension,
     {"_exten", "_context"},
     {{"801", "a"}, {"802", "b\n[evil]\nhost=1.2.3.4"}},
     warning,
     "Row 2 column _context holds a line break"},
    {"carriage return in a value",
     extension,
     {"_exten", "_secret"},
     {{"801", "pw\r"}},
     "",
     "Row 1 column _secret holds a line break"},
    {"block comment opener in a value",
     extension,
     {"_exten", "_callerid"},
     {{"801", "Desk ;-- hidden"}},
     "",
     "Row 1 column _callerid holds a block comment marker"},
    {"block comment closer in a mailbox",
     extension,
     {"_exten", "_mailbox"},
     {{"801", "1--;"}},
     "",
     "Row 1 column _mailbox holds a block comment marker"},
    {"block comment marker in a column name",
     extension,
     {"_exten", "_note;--x"},
     {{"801", "v"}},
     "",
     "Row 1 column _note;--x holds a block comment marker"},
    {"closing bracket in a header",
     extension,
     {"_exten", "_alaw", "_ulaw"},
     {{"801", "1", "1"}, {"802](template)", "1", "1"}},
     "",
     "Row 2 column _exten holds a closing bracket"},
    {"semicolon in a header",
     horncell,
     {"_exten", "_alaw"},
     {{"801", "0"}, {"802;x", "1"}},
     "codecs len 0\n" + warning + "codecs = \n",
     "Row 2 column _exten holds a semicolon"},
    {"a line break is named before a bracket",
     webrtc,
     {"_exten"},
     {{"9\n]"}},
     "",
     "Row 1 column _exten holds a line break"},
    {"a comment marker is named before a semicolon",
     webrtc,
     {"_exten", "_secret"},
     {{"901", "x"}, {"902;--", "y"}},
     warning,
     "Row 2 column _exten holds a block comment marker"},
    {"a later column of the row",
     horncell,
     {"_exten", "_alaw", "_host"},
     {{"801", "1", "dynamic"}, {"802", "1", "\r"}},
     "codecs len 5\ncodecs = alaw\n",
     "Row 2 column _host holds a line break"},
    {"NUL byte in a secret, which would cut it short",
     extension,
     {"_exten", "_secret"},
     {{"801", std::string("nul\0tail", 8)}},
     "",
     "Row 1 column _secret holds a NUL byte"},
    {"column name that would start a directive",
     webrtc,
     {"_exten", "_ #include"},
     {{"901", "x"}},
     "",
     "Row 1 column _ #include holds a character that ends a key"},
    {"PJSIP: a value the PBX would not take",
     horncell,
     {"_exten", "_nat", "_alaw"},
     {{"801", "yes", "1"}, {"802", "maybe", "1"}},
     "codecs len 5\ncodecs = alaw\n",
     "Row 2 column _nat holds a value PJSIP does not take",
     true},
    {"PJSIP: unsafe text anywhere in the row is named first",
     extension,
     {"_exten", "_dtmfmode", "_context"},
     {{"801", "x", "a\nb"}},
     "",
     "Row 1 column _context holds a line break",
     true},
    {"PJSIP: an empty name",
     webrtc,
     {"_exten", "_secret"},
     {{"", "s"}},
     "",
     "Row 1 column _exten holds an empty name",
     true},
    {"PJSIP: the name of an earlier row",
     extension,
     {"_exten"},
     {{"801"}, {"801"}},
     warning,
     "Row 2 column _exten holds the name of an earlier row",
     true},
    {"a line the PBX would skip, however it is made",
     extension,
     {"_exten", "_callerid"},
     {{"801", std::string(8180, 'c') + ";"}},
     "",
     "Row 1 column _callerid holds a line too long for the PBX"},
    {"a header the PBX would skip",
     webrtc,
     {"_exten"},
     {{std::string(8182, '9')}},
     "",
     "Row 1 column _exten holds a line too long for the PBX"},
    {"a row that would become the WebRTC template",
     extension,
     {"_exten", "_alaw"},
     {{"801", "1"}, {"WebRTC", "1"}},
     "",
     "Row 2 column _exten holds the name of the WebRTC template"},
    {"a key that would be an escape",
     horncell,
     {"_exten", "_\\"},
     {{"801", "x"}},
     "",
     "Row 1 column _\\ holds a character that ends a key"},
    {"a key that would append to the line before",
     extension,
     {"_exten", "_callerid+"},
     {{"801", "x"}},
     "",
     "Row 1 column _callerid+ holds a character that ends a key"},
    {"a secret the PBX would read shorter",
     horncell,
     {"_exten", "_alaw", "_Secret"},
     {{"801", "1", "pw"}, {"802", "1", "pw "}},
     "codecs len 5\ncodecs = alaw\n",
     "Row 2 column _Secret holds a blank at either end"},
    {"PJSIP: a secret of blanks, which the PBX would read as none",
     extension,
     {"_exten", "_secret"},
     {{"801", " \t"}},
     "",
     "Row 1 column _secret holds a blank at either end",
     true},
    {"PJSIP: the WebRTC template's name",
     webrtc,
     {"_exten"},
     {{"webRTC"}},
     "",
     "Row 1 column _exten holds the name of the WebRTC template",
     true},
    {"PJSIP: a line the PBX would skip",
     extension,
     {"_exten", "_host", "_callerid"},
     {{"801", "nowhere/0", std::string(8200, 'c')}},
     "",
     "Row 1 column _callerid holds a line too long for the PBX",
     true},
    {"PJSIP: a name another peer file holds",
     horncell,
     {"_exten", "_alaw"},
     {{"700", "1"}, {"901", "1"}},
     "codecs len 5\ncodecs = alaw\n",
     "Row 2 column _exten holds the name of a row in " + config_path("users_webrtc.conf"),
     true,
     {{"users_extension.conf", "[901](!)\n[700x]\ntype = aor\n"},
      {"users_webrtc.conf", "[webrtc](!)\ntype = endpoint\n\n[901](webrtc)\n[901]\n"}}},
};

TEST_F(ProgramTest, UnsafeRowsAreRefusedAndThePreviousFileStays)
{
    for (const refusal_case &c : refusal_cases) {
        SCOPED_TRACE(c.name);
        write_good_settings(c.pjsip ? "driver = pjsip\n" : "");
        for (const auto &[file, content] : c.others)
            write_file(config_path(file), content);
        make_table(c.mode.table, c.columns, c.rows);
        expect_failed_run(c.mode, console_head(c.mode, c.rows.size(), c.columns.size()) + c.before +
                                      c.refusal + "," + config_path(c.mode.file) +
                                      " is left unchanged.\n");
        clear_config_dir();
    }
}

// A value the PJSIP side would drop the object for, or read as another.
TEST_F(ProgramTest, PjsipRefusesWhatItWouldReadOtherwise)
{
    write_good_settings("driver = pjsip\n");
    const std::string long_host = std::string(59, 'h') + "." + std::string(58, 'h');
    const struct {
        const char *column, *reason;
        std::vector<std::string> values;
    } cases[] = {
        {"_host",
         "a value PJSIP does not take",
         {"0.0.0.0/0", "192.0.2.10,0.0.0.0/0", "10.0.0.1:5060", "pbx host", "pbx..example",
          ".example", "0x7f", "10.1", "2130706433", "[2001:db8::5]", "fe80::1%eth0", long_host,
          "h_1"}},
        {"_md5secret", "a value PJSIP does not take", {"0123abcd", std::string(31, 'a') + "g"}},
        {"_busylevel", "a value PJSIP does not take", {"4294967296", "-1", "0x10"}},
        {"_fromuser", "a value PJSIP does not take", {"desk phone", "a@b", "\"x\""}},
        {"_exten",
         "a name PJSIP would change",
         {" 801", "801 ", "801,802", std::string(80, '8'), "80%31", "a@b", "a:b", "\xe7\x8e\x8b",
          "#801", "80\\1"}},
    };
    for (const auto &c : cases) {
        for (const std::string &value : c.values) {
            SCOPED_TRACE(std::string(c.column) + " = " + value);
            bool names = std::string(c.column) == "_exten";
            make_table("users_horncell", {"_exten", names ? "_context" : c.column},
                       {{names ? value : "801", names ? "" : value}});
            expect_failed_run(horncell, console_head(horncell, 1, 2) + "Row 1 column " + c.column +
                                            " holds " + c.reason + "," +
                                            config_path("users_horncell.conf") +
                                            " is left unchanged.\n");
        }
    }
}

TEST_F(ProgramTest, AnOtherPeerFileThatCannotBeReadStopsThePjsipRun)
{
    write_good_settings("driver = pjsip\n");
    make_table("users_extension", {"_exten"}, {{"801"}});
    const std::string loop = config_path("users_webrtc.conf");
    ASSERT_EQ(symlink("users_webrtc.conf", loop.c_str()), 0);
    expect_failed_run(extension,
                      "Connection success!\nRecieved 1 rows\nCannot read the names in " + loop +
                          "," + config_path("users_extension.conf") + " is left unchanged.\n",
                      {}, "peerloom: open " + loop + ": Too many levels of symbolic links\n");
}

} // namespace
