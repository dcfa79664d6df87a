#include "harness.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mysql.h>
#include <poll.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

const char long_banner[] =
    "==2015.11.19==\n"
    "==2016.01.20 support utf8(Chinese)==\n"
    "2016.04.05 for mwi users_extension.conf\n"
    "you must enter a parameter to choose a type of extension config file you want to create.\n"
    "parameter 0 produce users_extension.conf\n"
    "parameter 1 produce users_horncell.conf\n"
    "parameter 2 produce users_webrtc.conf\n";

const char lock_file_name[] = ".peerloom.lock";

const char short_banner[] =
    "==2015.11.19==\n"
    "==2016.01.20 support utf8(Chinese)==\n"
    "you must enter a parameter to choose a type of extension config file you want to create.\n"
    "parameter 0 produce users_extension.conf\n"
    "parameter 1 produce users_horncell.conf\n"
    "parameter 2 produce users_webrtc.conf\n";

namespace fs = std::filesystem;

namespace
{

MYSQL *test_db()
{
    static MYSQL *db = [] {
        MYSQL *m = mysql_init(nullptr);
        if (mysql_real_connect(m, TEST_DB_HOST, TEST_DB_USER, TEST_DB_PASSWORD, TEST_DB_NAME, 3306,
                               nullptr, 0) == nullptr) {
            ADD_FAILURE() << "cannot reach the scratch server: " << mysql_error(m);
            return m;
        }
        mysql_set_character_set(m, "utf8mb4");
        return m;
    }();
    return db;
}

std::string quoted(const cell &value)
{
    if (!value)
        return "NULL";
    std::string out(value->size() * 2 + 1, '\0');
    out.resize(mysql_real_escape_string(test_db(), out.data(), value->data(), value->size()));
    return "'" + out + "'";
}

std::string quoted_name(const std::string &name)
{
    std::string out = "`";
    for (char c : name)
        out += c == '`' ? std::string("``") : std::string(1, c);
    return out + "`";
}

// Reads both pipes to their end without letting either fill up.
void drain(int out_fd, int err_fd, std::string &out, std::string &err)
{
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {&out, &err};
    int open_fds = 2;
    char buf[65536];
    while (open_fds > 0) {
        if (poll(fds, 2, -1) < 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
}

} // namespace

std::string config_path(const std::string &name)
{
    return name.empty() ? std::string(TEST_CONFIG_DIR) : std::string(TEST_CONFIG_DIR) + "/" + name;
}

void sql(const std::string &statement)
{
    if (mysql_query(test_db(), statement.c_str()) != 0) {
        ADD_FAILURE() << statement << ": " << mysql_error(test_db());
        return;
    }
    if (MYSQL_RES *res = mysql_store_result(test_db()))
        mysql_free_result(res);
}

void make_table(const std::string &name, const std::vector<std::string> &columns,
                const std::vector<std::vector<cell>> &rows)
{
    sql("DROP TABLE IF EXISTS " + quoted_name(name));
    std::string create = "CREATE TABLE " + quoted_name(name) + " (";
    for (std::size_t i = 0; i < columns.size(); ++i)
        create += (i ? ", " : "") + quoted_name(columns[i]) + " TEXT NULL";
    sql(create + ") CHARACTER SET utf8mb4 COLLATE utf8mb4_bin");
    for (const auto &row : rows) {
        std::string insert = "INSERT INTO " + quoted_name(name) + " VALUES (";
        for (std::size_t i = 0; i < row.size(); ++i)
            insert += (i ? ", " : "") + quoted(row[i]);
        sql(insert + ")");
    }
}

void write_settings(const std::string &content)
{
    std::string path = config_path("peerloom.ini");
    write_file(path, content);
    chmod(path.c_str(), 0600);
}

void write_good_settings(const std::string &extra)
{
    write_settings(std::string("dbserverip = ") + TEST_DB_HOST + "\ndbuser = " + TEST_DB_USER +
                   "\ndbpasswd = " + TEST_DB_PASSWORD + "\ndbname = " + TEST_DB_NAME + "\n" +
                   extra);
}

started_program start_program(const std::vector<std::string> &args, const run_options &options)
{
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        throw std::runtime_error("pipe failed");

    std::vector<char *> argv{const_cast<char *>(PROGRAM_UNDER_TEST)};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(options.merge_streams ? out_pipe[1] : err_pipe[1], STDERR_FILENO);
        close(out_pipe[0]);
        close(err_pipe[0]);
        umask(options.umask);
        // The program must guard itself against these.
        for (int sig : {SIGXFSZ, SIGPIPE, SIGINT, SIGTERM, SIGHUP})
            signal(sig, SIG_DFL);
        rlimit limit{options.file_size_limit, options.file_size_limit};
        setrlimit(RLIMIT_FSIZE, &limit);
        if (options.in_child)
            options.in_child();
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    return {pid, out_pipe[0], err_pipe[0]};
}

run_result finish_program(const started_program &p)
{
    run_result result;
    drain(p.out_fd, p.err_fd, result.out, result.err);
    int wstatus = 0;
    waitpid(p.pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    result.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    return result;
}

run_result run_program(const std::vector<std::string> &args, const run_options &options)
{
    return finish_program(start_program(args, options));
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string without_random_names(const std::string &text)
{
    static const std::regex random_part(R"((/\.[^/]+\.conf\.peerloom-)[A-Za-z0-9]{6}\b)");
    return std::regex_replace(text, random_part, "$1XXXXXX");
}

bool file_exists(const std::string &path)
{
    return fs::exists(fs::symlink_status(path));
}

std::vector<std::string> config_dir_entries()
{
    std::vector<std::string> names;
    for (const fs::directory_entry &entry : fs::directory_iterator(TEST_CONFIG_DIR))
        if (entry.path().filename() != lock_file_name)
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void clear_config_dir()
{
    fs::remove_all(TEST_CONFIG_DIR);
    fs::create_directories(TEST_CONFIG_DIR);
}

void check_mode_case(const char *arg, const char *table, const char *file_name, const mode_case &c)
{
    SCOPED_TRACE(c.name);
    make_table(table, c.columns, c.rows);
    run_result r = run_program({arg});
    std::string counted =
        *arg == '2' ? "" : "Recieved " + std::to_string(c.rows.size()) + " rows\n";
    EXPECT_EQ(r.out, "Connection success!\n" + counted + "field_count = " +
                         std::to_string(c.columns.size()) + "\n" + c.console + long_banner);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(config_path(file_name)), c.file);
    EXPECT_EQ(config_dir_entries(), (std::vector<std::string>{"peerloom.ini", file_name}));
}

const mode_target extension = {"0", "users_extension", "users_extension.conf", true};
const mode_target horncell = {"1", "users_horncell", "users_horncell.conf", true};
const mode_target webrtc = {"2", "users_webrtc", "users_webrtc.conf", false};

const char previous[] = "[previous]\nsecret = kept\n";

std::string console_head(const mode_target &m, std::size_t rows, std::size_t columns)
{
    return "Connection success!\n" +
           (m.counts_rows ? "Recieved " + std::to_string(rows) + " rows\n" : std::string()) +
           "field_count = " + std::to_string(columns) + "\n";
}

mode_t mode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

namespace
{

// Runs the mode over the previous file as expect_failed_run says, and
// returns what the run put on standard error.
std::string failed_run(const mode_target &m, const std::string &console, const run_options &opts)
{
    std::string path = config_path(m.file);
    write_file(path, previous);
    chmod(path.c_str(), 0640);
    std::vector<std::string> entries = config_dir_entries();
    run_result r = run_program({m.arg}, opts);
    EXPECT_EQ(r.out, console);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(read_file(path), previous);
    EXPECT_EQ(mode_of(path), 0640u);
    EXPECT_EQ(config_dir_entries(), entries);
    return without_random_names(r.err);
}

} // namespace

void expect_failed_run(const mode_target &m, const std::string &console, const run_options &opts,
                       const std::string &cause)
{
    EXPECT_EQ(failed_run(m, console, opts), cause);
}

void expect_refused_run(const mode_target &m, const std::string &console)
{
    static const std::regex refusal_line(
        R"(Row (\d+) column (.*) holds (.*),(.*) is left unchanged\.\n$)");
    std::smatch said;
    ASSERT_TRUE(std::regex_search(console, said, refusal_line)) << console;
    std::string err = failed_run(m, console, {});
    std::string start = "peerloom: refuse " + said[4].str() + ": row " + said[1].str() + " (";
    // Standard error shows a control byte of a name as \xNN.
    std::string column;
    for (char c : said[2].str()) {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
        column += static_cast<unsigned char>(c) < 32 ? std::string(escaped) : std::string(1, c);
    }
    std::string holds = ") column " + column + " holds " + said[3].str() + "; ";
    EXPECT_EQ(err.substr(0, start.size()), start);
    EXPECT_NE(err.find(holds), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}
