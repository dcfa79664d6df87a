#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "harness.h"

namespace
{

// A server that accepts connections and never says a word: the kernel
// completes each handshake from the listen queue. Accepted, a connection is
// the test's to answer.
int silent_listener(const char *address)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(3306);
    inet_pton(AF_INET, address, &where.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0 || listen(fd, 8) != 0)
        ADD_FAILURE() << "cannot listen on " << address << ":3306";
    return fd;
}

TEST_F(ProgramTest, ASilentServerIsAFailedConnection)
{
    int listener = silent_listener("127.0.0.2");
    write_settings("dbserverip=127.0.0.2\ndbuser=u\ndbpasswd=p\ndbname=d\n");
    run_options bounded;
    bounded.in_child = [] { alarm(40); }; // a run that waits for ever is killed
    run_result r = run_program({"0"}, bounded);
    close(listener);

    const std::string lost = "Connection failed!\nConnection error 2013: Lost connection to "
                             "server at 'handshake: reading initial communication packet'";
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.substr(0, lost.size()), lost);
    EXPECT_NE(r.err.find("\nSELECT error: "), std::string::npos);
    EXPECT_EQ(r.status, 255);
}

TEST_F(ProgramTest, DbtlsDecidesHowTheConnectionIsSecured)
{
    const std::string tls_only = TEST_TLS_DB_HOST, plain = TEST_DB_HOST;
    const std::string refused = "Connection error 2026: TLS/SSL error: ";
    const struct {
        const char *name;
        const std::string &host;
        std::string settings;
        std::string err; // empty when the connection succeeds
    } cases[] = {
        {"off: a server that requires TLS refuses", tls_only, "",
         "Connection error 1045: Access denied"},
        {"on: the certificate is not checked", tls_only, "dbtls = on\n", ""},
        {"verify: against its CA", tls_only, "dbtls = Verify\ndbcafile = " TEST_TLS_CA "\n", ""},
        {"verify: against another CA", tls_only,
         "dbtls = verify\ndbcafile = " TEST_TLS_OTHER_CA "\n",
         refused + "self-signed certificate in certificate chain"},
        {"on: a server without TLS", plain, "dbtls = ON\n",
         refused + "SSL is required, but the server does not support it"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write_settings("dbserverip = " + c.host +
                       "\ndbuser = " TEST_DB_USER "\ndbpasswd = " TEST_DB_PASSWORD
                       "\ndbname = " TEST_DB_NAME "\n" +
                       c.settings);
        run_result r = run_program({});
        EXPECT_EQ(r.status, 0);
        if (c.err.empty()) {
            EXPECT_EQ(r.out, "Connection success!\n" + std::string(short_banner));
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_EQ(r.out, short_banner);
            EXPECT_EQ(r.err.substr(0, 19 + c.err.size()), "Connection failed!\n" + c.err);
        }
    }
}

// "localhost" is the socket that MYSQL_UNIX_PORT names: here the TLS-only
// server's, which has the database and the account but not the tables.
TEST_F(ProgramTest, TheFirstHostOfTheListThatConnectsServesTheRun)
{
    make_table("users_extension", {"_exten", "_alaw"}, {{"801", "1"}});
    const std::string served = "Connection success!\nRecieved 1 rows\nfield_count = 2\n";
    const std::string lacking = "Table 'peerloom.users_extension' doesn't exist";
    const std::string file = config_path("users_extension.conf");
    const std::string dead = "Can't connect to server on '127.0.0.3' (115)";
    const std::string plain = "TLS/SSL error: SSL is required, but the server does not support it";
    const struct {
        const char *name;
        std::string hosts;
        std::string extra; // further settings lines
        std::vector<std::string> args;
        std::string out, err;
        int status;
        std::string webrtc_file = ""; // users_webrtc.conf, when not empty
    } cases[] = {
        {"a dead first host; blanks and empty items",
         " 127.0.0.3 ,, " TEST_DB_HOST " ,",
         "",
         {"0"},
         served + long_banner,
         "peerloom: connect 127.0.0.3: " + dead + "\n",
         0},
        {"a silent first host",
         "127.0.0.2," TEST_DB_HOST,
         "",
         {"0"},
         served + long_banner,
         "peerloom: connect 127.0.0.2: Lost connection to server at 'handshake: reading initial "
         "communication packet', system error: 110\n",
         0},
        {"all dead: the last one's failure, as with one host",
         "127.0.0.3, 127.0.0.4",
         "",
         {"0"},
         "",
         "peerloom: connect 127.0.0.3: " + dead +
             "\nConnection failed!\nConnection error 2002: Can't connect to server on "
             "'127.0.0.4' (115)\nSELECT error: Server has gone away\npeerloom: query 127.0.0.4: "
             "Server has gone away\n",
         255},
        {"dbtls = on: a host without TLS is passed over",
         TEST_DB_HOST ", " TEST_TLS_DB_HOST,
         "dbtls = on\n",
         {},
         "Connection success!\n" + std::string(short_banner),
         "peerloom: connect " TEST_DB_HOST ": " + plain + "\n",
         0},
        {"a first host that lacks the table",
         "localhost, " TEST_DB_HOST,
         "",
         {"0"},
         "Connection success!\n" + served + long_banner,
         "peerloom: query localhost: " + lacking + "\n",
         0},
        {"one host that lacks the table, as ever",
         "localhost",
         "",
         {"0"},
         "Connection success!\n",
         "SELECT error: " + lacking + "\npeerloom: query localhost: " + lacking + "\n",
         255},
        {"the other files are read while the first host works, and count",
         "localhost, " TEST_DB_HOST,
         "",
         {"0"},
         "Connection success!\n" + served + "Row 1 column _exten holds the name of a row in " +
             config_path("users_webrtc.conf") + "," + file + " is left unchanged.\n",
         "peerloom: query localhost: " + lacking + "\npeerloom: refuse " + file +
             ": row 1 (801) column _exten holds the name of a row in " +
             config_path("users_webrtc.conf") +
             "; a phone is in one table at a time: to move it, remove it from the other table "
             "and run that file's mode first\n",
         255,
         "[801](webrtc)\n"},
        {"no database named: the same on every host, not passed over",
         TEST_DB_HOST ", " TEST_DB_HOST,
         "dbname =\n",
         {"0"},
         "Connection success!\n",
         "SELECT error: No database selected\npeerloom: query " TEST_DB_HOST
         ": No database selected\n",
         255},
    };
    int listener = silent_listener("127.0.0.2");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        clear_config_dir();
        write_settings("dbserverip = " + c.hosts +
                       "\ndbuser = " TEST_DB_USER "\ndbpasswd = " TEST_DB_PASSWORD
                       "\ndbname = " TEST_DB_NAME "\n" +
                       c.extra);
        if (!c.webrtc_file.empty())
            write_file(config_path("users_webrtc.conf"), c.webrtc_file);
        run_options bounded;
        bounded.in_child = [] {
            alarm(40);
            setenv("MYSQL_UNIX_PORT", TEST_TLS_SOCKET, 1);
        };
        run_result r = run_program(c.args, bounded);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
        bool written = c.status == 0 && !c.args.empty();
        EXPECT_EQ(read_file(file), written ? "[801]\ndisallow = all\nallow = alaw\n" : "");
    }
    close(listener);
}

// Stands between the run and the scratch server: passes everything on at
// once, but the answer to the run's query one byte every 200 ms, each byte
// in time for the client library's read timeout, the whole far too late.
void trickle(int listener)
{
    pollfd waiting = {listener, POLLIN, 0};
    if (poll(&waiting, 1, 40000) != 1)
        return;
    int client = accept(listener, nullptr, nullptr);
    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(3306);
    inet_pton(AF_INET, TEST_DB_HOST, &where.sin_addr);
    connect(server, reinterpret_cast<sockaddr *>(&where), sizeof where);
    bool queried = false;
    char buf[4096];
    for (;;) {
        pollfd ends[2] = {{client, POLLIN, 0}, {server, queried ? short(0) : short(POLLIN), 0}};
        int ready = poll(ends, 2, queried ? 200 : -1);
        if (ready == 0) {
            if (read(server, buf, 1) != 1 || write(client, buf, 1) != 1)
                break;
            continue;
        }
        int from = ends[0].revents != 0 ? client : server;
        ssize_t n = read(from, buf, sizeof buf);
        if (n <= 0 || write(from == client ? server : client, buf, n) != n)
            break;
        queried = queried || std::string(buf, n).find("users_extension") != std::string::npos;
    }
    close(client);
    close(server);
}

// The time counts from the query's first sending, whichever host answers.
TEST_F(ProgramTest, AnAnswerThatTricklesEndsTheRunInTime)
{
    make_table("users_extension", {"_exten", "_alaw"}, {{"801", "1"}});
    const std::string late = "peerloom: query 127.0.0.6: no whole answer within 3 s\n";
    const struct {
        const char *name, *hosts;
        std::string out, err;
    } cases[] = {
        {"one host", "127.0.0.6", "Connection success!\n", late},
        {"after a host that lacks the table", "localhost, 127.0.0.6",
         "Connection success!\nConnection success!\n",
         "peerloom: query localhost: Table 'peerloom.users_extension' doesn't exist\n" + late},
    };
    int listener = silent_listener("127.0.0.6");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::thread proxy(trickle, listener);
        write_settings(std::string("dbserverip = ") + c.hosts +
                       "\ndbuser = " TEST_DB_USER "\ndbpasswd = " TEST_DB_PASSWORD
                       "\ndbname = " TEST_DB_NAME "\n");
        run_options bounded;
        bounded.in_child = [] {
            alarm(40);
            setenv("MYSQL_UNIX_PORT", TEST_TLS_SOCKET, 1);
        };
        auto start = std::chrono::steady_clock::now();
        expect_failed_run(extension, c.out, bounded, c.err);
        auto took = std::chrono::steady_clock::now() - start;
        proxy.join();
        EXPECT_GE(took, std::chrono::seconds(3));
        EXPECT_LT(took, std::chrono::seconds(10));

        // The lock went with the run.
        write_good_settings();
        run_result next = run_program({"0"});
        EXPECT_EQ(next.err, "");
        EXPECT_EQ(next.status, 0);
    }
    close(listener);
}

// One host is handed over as it stands: a blank in front is part of it.
TEST_F(ProgramTest, ALoneHostIsTakenAsItStands)
{
    write_settings("dbserverip =  " TEST_DB_HOST "\ndbuser = " TEST_DB_USER
                   "\ndbpasswd = " TEST_DB_PASSWORD "\ndbname = " TEST_DB_NAME "\n");
    run_result r = run_program({});
    const std::string unknown =
        "Connection failed!\nConnection error 2005: Unknown server host ' " TEST_DB_HOST "'";
    EXPECT_EQ(r.out, short_banner);
    EXPECT_EQ(r.err.substr(0, unknown.size()), unknown);
    EXPECT_EQ(r.status, 0);
}

} // namespace

namespace
{

// One packet of the client protocol: three bytes of length, a sequence
// number, the payload.
std::string packet(unsigned char sequence, const std::string &payload)
{
    std::string p(4, '\0');
    for (int i = 0; i < 3; ++i)
        p[i] = static_cast<char>(payload.size() >> (8 * i));
    p[3] = static_cast<char>(sequence);
    return p + payload;
}

// Answers at the server's address as a server would, then asks for the
// password in clear; puts in `heard` all that the run then sent.
void ask_for_the_password(int listener, std::string &heard)
{
    pollfd waiting = {listener, POLLIN, 0};
    if (poll(&waiting, 1, 40000) != 1)
        return;
    int client = accept(listener, nullptr, nullptr);
    const std::string scramble = "abcdefghijklmnopqrst";
    std::string greeting =
        std::string("\x0a") + "5.5.5-10.11.0-MariaDB" + '\0' + std::string("\x07\0\0\0", 4) +
        scramble.substr(0, 8) + '\0' + std::string("\x8f\xa2\x2d\x02\x00\x0a\x00\x15", 8) +
        std::string(10, '\0') + scramble.substr(8) + '\0' + "mysql_native_password" + '\0';
    std::string sent = packet(0, greeting);
    char buf[4096];
    if (write(client, sent.data(), sent.size()) == static_cast<ssize_t>(sent.size()) &&
        read(client, buf, sizeof buf) > 0) {
        sent = packet(2, "\xfemysql_clear_password" + std::string(1, '\0') + scramble + '\0');
        if (write(client, sent.data(), sent.size()) == static_cast<ssize_t>(sent.size())) {
            pollfd answer = {client, POLLIN, 0};
            for (ssize_t n; poll(&answer, 1, 5000) == 1 && (n = read(client, buf, sizeof buf)) > 0;)
                heard.append(buf, static_cast<std::size_t>(n));
        }
    }
    close(client);
}

// A server that asks for the password in clear gets nothing of it: only a
// server whose certificate the run verified may have it so.
TEST_F(ProgramTest, NoServerIsGivenThePasswordInClear)
{
    write_file(config_path("users_extension.conf"), previous);
    write_settings("dbserverip = 127.0.0.7\ndbuser = " TEST_DB_USER
                   "\ndbpasswd = the-secret-itself\ndbname = " TEST_DB_NAME "\n");
    int listener = silent_listener("127.0.0.7");
    std::string heard;
    std::thread server(ask_for_the_password, listener, std::ref(heard));
    run_result r = run_program({"0"});
    server.join();
    close(listener);
    EXPECT_EQ(heard.find("the-secret-itself"), std::string::npos) << heard;
    EXPECT_EQ(r.err.substr(0, 36), "Connection failed!\nConnection error ") << r.err;
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(read_file(config_path("users_extension.conf")), previous);
}

} // namespace
