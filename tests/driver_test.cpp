#include <sys/stat.h>

#include "harness.h"

namespace
{

const std::string connected = "Connection success!\n";
const std::string complaint = "You enter the wrong parameters.please check it\n";

struct argument_case {
    std::vector<std::string> args;
    std::string out;
};

TEST_F(ProgramTest, ArgumentsWithoutAModeWriteNothing)
{
    const argument_case cases[] = {
        {{}, connected + short_banner},
        {{"7"}, connected + complaint + long_banner},
        {{"abc"}, connected + complaint + long_banner},
        {{""}, connected + complaint + long_banner},
        {{"3", "0"}, connected + complaint + long_banner}, // only the first argument counts
        {{" 0"}, connected + complaint + long_banner},
    };
    for (const argument_case &c : cases) {
        run_result r = run_program(c.args);
        std::string shown = c.args.empty() ? "(none)" : "'" + c.args[0] + "'";
        EXPECT_EQ(r.out, c.out) << shown;
        EXPECT_EQ(r.err, "") << shown;
        EXPECT_EQ(r.status, 0) << shown;
        EXPECT_EQ(config_dir_entries(), std::vector<std::string>{"peerloom.ini"}) << shown;
    }
}

TEST_F(ProgramTest, OnlyTheFirstCharacterOfTheArgumentChoosesTheMode)
{
    make_table("users_extension", {"_exten", "_alaw"}, {{"801", "1"}});
    make_table("users_horncell", {"_exten", "_alaw"}, {{"802", "1"}});
    make_table("users_webrtc", {"_exten", "_alaw"}, {{"803", "1"}});
    const struct {
        const char *arg, *file, *header;
    } cases[] = {
        {"0x", "users_extension.conf", "[801]\n"},
        {"1abc", "users_horncell.conf", "[802]\n"},
        {"2x", "users_webrtc.conf", "[803](webrtc)\n"},
    };
    for (const auto &c : cases) {
        run_result r = run_program({c.arg, "ignored"});
        EXPECT_EQ(r.status, 0) << c.arg;
        EXPECT_NE(read_file(config_path(c.file)).find(c.header), std::string::npos) << c.arg;
    }
}

TEST_F(ProgramTest, MissingSettingsFileEndsTheRunBeforeConnecting)
{
    std::remove(config_path("peerloom.ini").c_str());
    for (const char *arg : {"0", "9"}) {
        run_result r = run_program({arg});
        EXPECT_EQ(r.out, "File: " + config_path("peerloom.ini") + " is not open ,fail.\n");
        EXPECT_EQ(r.err, "peerloom: open " + config_path("peerloom.ini") +
                             ": No such file or directory\n");
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_EQ(config_dir_entries(), std::vector<std::string>{});
}

TEST_F(ProgramTest, SettingsThatCannotBeUsedEndTheRunBeforeConnecting)
{
    const std::string path = config_path("peerloom.ini");
    const struct {
        const char *name;
        std::function<void()> make;
        std::string out, err;
        bool needs_root = false;
    } cases[] = {
        {"writable by everyone", [&] { chmod(path.c_str(), 0666); },
         "File: " + path + " is writable by everyone; run chmod o-w " + path + ".\n",
         "peerloom: fstat " + path + ": writable by everyone\n"},
        {"a directory",
         [&] {
             std::remove(path.c_str());
             mkdir(path.c_str(), 0700);
         },
         "File: " + path + " is not open ,fail.\n",
         "peerloom: open " + path + ": Is a directory\n"},
        // Opened, it would hold the run until someone wrote to it.
        {"a FIFO",
         [&] {
             std::remove(path.c_str());
             mkfifo(path.c_str(), 0600);
         },
         "File: " + path + " is not open ,fail.\n",
         "peerloom: open " + path + ": not a regular file\n"},
        {"an unknown driver", [] { write_good_settings("driver = chan_sip\n"); },
         "Unknown driver \"chan_sip\" in " + path + ": use sip or pjsip.\n",
         "peerloom: read " + path + ": unknown driver \"chan_sip\"\n"},
        {"an unknown dbtls", [] { write_good_settings("dbtls = yes\n"); },
         "Unknown dbtls \"yes\" in " + path + ": use off, on or verify.\n",
         "peerloom: read " + path + ": unknown dbtls \"yes\"\n"},
        {"an unknown maxdrop", [] { write_good_settings("maxdrop = 150%\n"); },
         "Unknown maxdrop \"150%\" in " + path + ": use a number, or a percentage up to 100%.\n",
         "peerloom: read " + path + ": unknown maxdrop \"150%\"\n"},
        // It could lead to a file whose lines the tables write, an onchange
        // line among them.
        {"a link of another user's",
         [&] {
             std::rename(path.c_str(), (path + ".real").c_str());
             symlink("peerloom.ini.real", path.c_str());
             lchown(path.c_str(), 65534, 65534);
         },
         "File: " + path + " is not open ,fail.\n",
         "peerloom: open " + path + ": Permission denied\n", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_root && geteuid() != 0)
            continue;
        clear_config_dir();
        write_good_settings();
        c.make();
        run_result r = run_program({"0"});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(config_dir_entries().front(), "peerloom.ini");
        EXPECT_FALSE(file_exists(config_path("users_extension.conf")));
    }
}

TEST_F(ProgramTest, SettingsReadableByEveryoneDrawAWarning)
{
    chmod(config_path("peerloom.ini").c_str(), 0644);
    run_result r = run_program({});
    EXPECT_EQ(r.out, connected + short_banner);
    EXPECT_EQ(r.err, "peerloom: warning: " + config_path("peerloom.ini") +
                         " is readable by everyone, and it holds the database password; run "
                         "chmod o-r " +
                         config_path("peerloom.ini") + "\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(ProgramTest, RefusedPasswordIsReportedAndTheModeFails)
{
    write_settings(std::string("dbserverip=") + TEST_DB_HOST + "\ndbuser=" + TEST_DB_USER +
                   "\ndbpasswd=wrong\ndbname=" + TEST_DB_NAME + "\n");
    write_file(config_path("users_extension.conf"), "[old]\n");

    // The server names the client's host as it resolves it: 'localhost' here.
    const std::string refused = "Connection failed!\nConnection error 1045: Access denied for "
                                "user 'peerloom'@";
    const std::string reason = " (using password: YES)\n";
    auto expect_refused = [&](const std::string &err) {
        EXPECT_EQ(err.substr(0, refused.size()), refused);
        EXPECT_NE(err.find(reason), std::string::npos);
    };
    run_result r = run_program({});
    EXPECT_EQ(r.out, short_banner);
    expect_refused(r.err);
    EXPECT_EQ(r.err.size(), r.err.find(reason) + reason.size());
    EXPECT_EQ(r.status, 0);

    r = run_program({"x"});
    EXPECT_EQ(r.out, complaint + long_banner);
    expect_refused(r.err);
    EXPECT_EQ(r.err.size(), r.err.find(reason) + reason.size());
    EXPECT_EQ(r.status, 0);

    r = run_program({"0"});
    EXPECT_EQ(r.out, "");
    expect_refused(r.err);
    EXPECT_NE(r.err.find(reason + "SELECT error: "), std::string::npos);
    EXPECT_EQ(r.err.back(), '\n');
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(read_file(config_path("users_extension.conf")), "[old]\n");
}

TEST_F(ProgramTest, UnreachableServerFailsEveryMode)
{
    // Nothing listens on this loopback address: the connection is refused at
    // once. The system error number at the end depends on the library.
    write_settings("dbserverip=127.0.0.2\ndbuser=u\ndbpasswd=p\ndbname=d\n");
    const std::string refused = "Connection failed!\nConnection error 2002: Can't connect to "
                                "server on '127.0.0.2' (";
    for (const char *arg : {"0", "1", "2"}) {
        run_result r = run_program({arg});
        EXPECT_EQ(r.out, "") << arg;
        EXPECT_EQ(r.err.substr(0, refused.size()), refused) << arg;
        EXPECT_NE(r.err.find(")\nSELECT error: "), std::string::npos) << arg;
        EXPECT_EQ(r.status, 255) << arg;
    }
    EXPECT_EQ(config_dir_entries(), std::vector<std::string>{"peerloom.ini"});
}

TEST_F(ProgramTest, SettingsFileWithCrLfAndUpperCaseKeysConnects)
{
    write_settings(std::string("; written on a Windows desk\r\nDBSERVERIP = ") + TEST_DB_HOST +
                   "\r\n  dbuser = nobody\r\nDbUser = " + TEST_DB_USER + "\r\nDBPASSWD = " +
                   TEST_DB_PASSWORD + "\r\ndbname = wrong\r\ndbName = " + TEST_DB_NAME + "\r\n");
    run_result r = run_program({});
    EXPECT_EQ(r.out, connected + short_banner);
    EXPECT_EQ(r.err, "peerloom: " + config_path("peerloom.ini") +
                         " line 3: indented key \"dbuser\" ignored; did you mean \"dbuser\" at the "
                         "start of the line?\n");
}

TEST_F(ProgramTest, MissingTableIsASelectError)
{
    sql("DROP TABLE IF EXISTS users_horncell");
    write_file(config_path("users_horncell.conf"), "[old]\n");
    run_result r = run_program({"1"});
    EXPECT_EQ(r.out, connected);
    const std::string missing = "Table 'peerloom.users_horncell' doesn't exist";
    const std::string said =
        "SELECT error: " + missing + "\npeerloom: query " TEST_DB_HOST ": " + missing + "\n";
    EXPECT_EQ(r.err, said);
    EXPECT_EQ(r.status, 255);
    // One log that takes both streams shows the lines in the order they came.
    run_options one_log;
    one_log.merge_streams = true;
    EXPECT_EQ(run_program({"1"}, one_log).out, connected + said);
    EXPECT_EQ(read_file(config_path("users_horncell.conf")), "[old]\n");
    EXPECT_EQ(config_dir_entries(),
              (std::vector<std::string>{"peerloom.ini", "users_horncell.conf"}));
}

TEST_F(ProgramTest, ResultThatCannotBeStoredIsASelectError)
{
    // The query itself is accepted; its subquery fails while the rows are
    // fetched, so no result set can be stored.
    sql("DROP TABLE IF EXISTS users_webrtc");
    sql("CREATE VIEW users_webrtc AS SELECT t.seq AS _exten, (SELECT s.seq FROM seq_1_to_3 s "
        "WHERE s.seq <= t.seq) AS _x FROM seq_1_to_3 t");
    write_file(config_path("users_webrtc.conf"), "[old]\n");
    run_result r = run_program({"2"});
    sql("DROP VIEW users_webrtc");
    EXPECT_EQ(r.out, "Connection success!\n");
    EXPECT_EQ(r.err, "SELECT error: Subquery returns more than 1 row\npeerloom: query " TEST_DB_HOST
                     ": Subquery returns more than 1 row\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(read_file(config_path("users_webrtc.conf")), "[old]\n");
    EXPECT_EQ(config_dir_entries(),
              (std::vector<std::string>{"peerloom.ini", "users_webrtc.conf"}));
}

} // namespace
