#include "harness.h"

#include <iostream>
#include <unistd.h>

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
    // What the PBX's parser strips, and the names each PBX compares.
    {"a byte below 33 that the PBX would strip from a credential",
     extension,
     {"_exten", "_secret"},
     {{"801", "\x01"}},
     "",
     "Row 1 column _secret holds a blank at either end"},
    {"a key that the PBX would read as a directive once it strips a byte below 33",
     horncell,
     {"_exten", "_\x01#include x"},
     {{"801", "v"}},
     "",
     "Row 1 column _\x01#include x holds a character that ends a key"},
    {"a mailbox that would keep its blank inside \"801 @default\"",
     extension,
     {"_exten", "_mailbox"},
     {{"801", "801 "}},
     "",
     "Row 1 column _mailbox holds a blank at either end"},
    {"chan_sip's other credentials come back whole too",
     extension,
     {"_exten", "_remotesecret"},
     {{"801", "pw "}},
     "",
     "Row 1 column _remotesecret holds a blank at either end"},
    {"a column whose key the PBX would not read at all",
     horncell,
     {"_exten", "x"},
     {{"801", "v"}},
     "",
     "Row 1 column x holds an empty key"},
    {"chan_sip: two names in other letter cases are one peer",
     extension,
     {"_exten", "_alaw"},
     {{"ABC", "1"}, {"abc", "1"}},
     "",
     "Row 2 column _exten holds the name of an earlier row"},
    {"chan_sip: a name longer than the 79 bytes it keeps",
     horncell,
     {"_exten"},
     {{std::string(79, '8')}, {std::string(79, '8') + "2"}},
     "codecs len 0\n" + warning + "codecs = \n",
     "Row 2 column _exten holds a name chan_sip would cut"},
    {"chan_sip: a name that another file's longer one shares its 79 bytes with",
     extension,
     {"_exten"},
     {{std::string(79, '8')}},
     "",
     "Row 1 column _exten holds the name of a row in " + config_path("users_horncell.conf"),
     false,
     {{"users_horncell.conf", "[" + std::string(79, '8') + "9]\n"}}},
    {"chan_sip: a section it keeps for its own settings",
     webrtc,
     {"_exten"},
     {{"General"}},
     "",
     "Row 1 column _exten holds the name of a chan_sip settings section"},
    {"chan_sip: a name with a blank that no phone could send",
     extension,
     {"_exten"},
     {{"805 "}},
     "",
     "Row 1 column _exten holds a blank at either end"},
    {"chan_sip: a phone being moved between tables would be one peer",
     extension,
     {"_exten"},
     {{"901"}},
     "",
     "Row 1 column _exten holds the name of a row in " + config_path("users_webrtc.conf"),
     false,
     {{"users_webrtc.conf", "[webrtc](!)\ntype = friend\n\n[901](webrtc)\ntype = friend\n"}}},
    {"chan_sip: a peer of sip.conf, or of a file it includes",
     horncell,
     {"_exten"},
     {{"trunk"}},
     "",
     "Row 1 column _exten holds the name of a section in " + config_path("trunks.conf"),
     false,
     {{"sip.conf", "[general]\ncontext = x\n#exec touch " + config_path("exec-ran") +
                       "\n#include trunks.conf\n#include users_horncell.conf\n"},
      {"trunks.conf", "[Trunk]\ntype = peer\n"}}},
    {"PJSIP: an object of pjsip.conf, one in a block comment left out",
     extension,
     {"_exten"},
     {{"801"}, {"provider"}},
     warning,
     "Row 2 column _exten holds the name of a section in " + config_path("pjsip.conf"),
     true,
     {{"pjsip.conf", "[transport-udp]\ntype = transport\n;--[801]--;\n[provider]\ntype = aor\n"}}},
    {"PJSIP: a fixed host of an earlier row, which identify could not tell apart",
     horncell,
     {"_exten", "_host", "_port"},
     {{"801", "10.0.0.9", "5061"}, {"802", "10.0.0.9", ""}},
     "codecs len 0\n" + warning + "codecs = \n",
     "Row 2 column _host holds the host of an earlier row",
     true},
    {"PJSIP: a value that dtls_verify's handler rejects",
     horncell,
     {"_exten", "_dtlsverify"},
     {{"801", "maybe"}},
     "",
     "Row 1 column _dtlsverify holds a value PJSIP does not take",
     true},
    {"PJSIP: a word that dtls_setup's handler would skip in silence",
     extension,
     {"_exten", "_dtlssetup"},
     {{"801", "sideways"}},
     "",
     "Row 1 column _dtlssetup holds a value PJSIP does not take",
     true},
};

TEST_F(ProgramTest, UnsafeRowsAreRefusedAndThePreviousFileStays)
{
    for (const refusal_case &c : refusal_cases) {
        SCOPED_TRACE(c.name);
        write_good_settings(c.pjsip ? "driver = pjsip\n" : "");
        for (const auto &[file, content] : c.others)
            write_file(config_path(file), content);
        make_table(c.mode.table, c.columns, c.rows);
        expect_refused_run(c.mode, console_head(c.mode, c.rows.size(), c.columns.size()) +
                                       c.before + c.refusal + "," + config_path(c.mode.file) +
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
        {"_host",
         "a value PJSIP does not take",
         {"::ffff:7f00:2", "::ffff:127.0.0.2", "10.0.0.09", "pbx.123"}},
        {"_port", "a value PJSIP does not take", {"0", "65536", "05060", "5060/udp"}},
        {"_callerid",
         "a value PJSIP does not take",
         {"\"" + std::string(80, 'N') + "\" <801>", "Desk <" + std::string(80, '8') + ">",
          std::string(80, 'N')}},
        // Values that the option's handler in res_pjsip rejects, or reads as
        // another in silence.
        {"_dtlsverify", "a value PJSIP does not take", {"maybe", "true", "1"}},
        {"_dtlssetup", "a value PJSIP does not take", {"sideways", "holdconn"}},
        {"_dtlscafile", "a value PJSIP does not take", {"/nonexistent/ca.crt", "ca.crt", "/"}},
        {"_deny",
         "a value PJSIP does not take",
         {"10.0.0.0/8, 192.168.0.0/16", "pbx.example", "010.0.0.1", "10.1", "10.0.0.1:5060",
          "1.2.3.4/", "1.2.3.4/33", "::1/129", "10.0.0.0/8,", "!", "10.0.0.0/0x8", "10.0.0.0/::"}},
        {"_pickupgroup", "a value PJSIP does not take", {"64", "1,,2", ",5", "3 - 5", "5-3", "1x"}},
        {"_namedcallgroup", "a value PJSIP does not take", {",", " , "}},
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
            expect_refused_run(horncell, console_head(horncell, 1, 2) + "Row 1 column " + c.column +
                                             " holds " + c.reason + "," +
                                             config_path("users_horncell.conf") +
                                             " is left unchanged.\n");
        }
    }
}

// The files beside the peer file are read as the settings file is: a link
// is followed only when it is this user's or root's, and a file that
// cannot be read so stops the run.
TEST_F(ProgramTest, AnOtherPeerFileThatCannotBeReadStopsThePjsipRun)
{
    write_good_settings("driver = pjsip\n");
    make_table("users_extension", {"_exten"}, {{"801"}});
    const std::string link = config_path("users_webrtc.conf");
    const struct {
        const char *name;
        const char *to;
        uid_t owner;
        std::string reason;
    } cases[] = {
        {"a link to itself", "users_webrtc.conf", 0, "Too many levels of symbolic links"},
        {"another user's link, to a device", "/dev/zero", 65534, "Permission denied"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.owner != 0 && geteuid() != 0) {
            std::cout << "left out, as it needs root: " << c.name << "\n";
            continue;
        }
        std::remove(link.c_str());
        ASSERT_EQ(symlink(c.to, link.c_str()), 0);
        ASSERT_EQ(lchown(link.c_str(), c.owner, c.owner), 0);
        expect_failed_run(extension,
                          "Connection success!\nRecieved 1 rows\nCannot read the names in " + link +
                              "," + config_path("users_extension.conf") + " is left unchanged.\n",
                          {}, "peerloom: open " + link + ": " + c.reason + "\n");
    }
}

// A section named webrtc in a file the PBX reads with the peer files would
// take the place of the template that mode 2's sections inherit from.
TEST_F(ProgramTest, ASectionNamedWebrtcElsewhereStopsMode2)
{
    make_table("users_webrtc", {"_exten"}, {{"901"}});
    for (const char *form : {"sip", "pjsip"}) {
        SCOPED_TRACE(form);
        clear_config_dir();
        write_good_settings(std::string("driver = ") + form + "\n");
        const std::string including = config_path(std::string(form) + ".conf");
        write_file(including, "[WebRTC](!)\ntype = aor\n");
        std::string path = config_path("users_webrtc.conf");
        expect_failed_run(webrtc,
                          "Connection success!\nA section named webrtc in " + including +
                              " would stand for the template of " + path + "," + path +
                              " is left unchanged.\n",
                          {},
                          "peerloom: read " + including +
                              ": a section named webrtc, which the WebRTC peers would inherit "
                              "from; rename it\n");
    }
}

} // namespace

namespace
{

// The cause line of a refusal names the row by its number and its name, the
// column, what it holds and what to change, in either form.
TEST_F(ProgramTest, ARefusalsCauseLineSaysWhatToChange)
{
    const struct {
        const char *name;
        const mode_target &mode;
        bool pjsip;
        std::vector<std::string> columns;
        std::vector<cell> row;
        std::string said; // after "peerloom: refuse PATH: "
    } cases[] = {
        {"chan_sip: a value",
         extension,
         false,
         {"_exten", "_context"},
         {"801", "a\nb"},
         "row 1 (801) column _context holds a line break; remove the line breaks from the value"},
        {"chan_sip: a column's name",
         horncell,
         false,
         {"_exten", "_a=b"},
         {"802", "v"},
         "row 1 (802) column _a=b holds a character that ends a key; rename the column: a key may "
         "hold no '=' or ';', nor start with '[', '#' or '\\', nor end with '+'"},
        {"chan_sip: a name shown with its control byte",
         webrtc,
         false,
         {"_exten"},
         {"9\x01"},
         "row 1 (9\\x01) column _exten holds a blank at either end; remove the blanks (bytes "
         "below 33) at the ends of the value, which the PBX would cut"},
        {"PJSIP: a value its option does not take",
         horncell,
         true,
         {"_exten", "_dtlsverify"},
         {"803", "maybe"},
         "row 1 (803) column _dtlsverify holds a value PJSIP does not take; give it a value that "
         "PJSIP's dtls_verify takes: yes, no, fingerprint or certificate"},
        {"PJSIP: a word the form translates",
         extension,
         true,
         {"_exten", "_nat"},
         {"804", "maybe"},
         "row 1 (804) column _nat holds a value PJSIP does not take; give it a value that the "
         "PJSIP form takes for it: yes, no, never, force_rport, comedia, auto_force_rport or "
         "auto_comedia"},
        {"PJSIP: a row without a name",
         webrtc,
         true,
         {"_exten"},
         {""},
         "row 1 (no name) column _exten holds an empty name; give the row a name in its header "
         "column"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write_good_settings(c.pjsip ? "driver = pjsip\n" : "");
        make_table(c.mode.table, c.columns, {c.row});
        std::string path = config_path(c.mode.file);
        std::string refusal = c.said.substr(0, c.said.find(';'));
        std::string console = "Row 1 column " + refusal.substr(refusal.find(") column ") + 9) +
                              "," + path + " is left unchanged.\n";
        expect_failed_run(c.mode, console_head(c.mode, 1, c.columns.size()) + console, {},
                          "peerloom: refuse " + path + ": " + c.said + "\n");
    }
}

} // namespace
