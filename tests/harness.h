#pragma once

// What the end-to-end tests share: the scratch server's test database, the
// scratch configuration directory, and running the program as a process.

#include <functional>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

// The directory the program under test was built to use in place of /etc/asterisk.
std::string config_path(const std::string &name = "");

// Runs SQL on the scratch server's test database; a failure fails the test.
void sql(const std::string &statement);

// A cell of a test table; nullopt is SQL NULL.
using cell = std::optional<std::string>;

// Replaces table `name` with one whose columns, of the given names in this
// order, are all nullable text, and fills it with `rows`.
void make_table(const std::string &name, const std::vector<std::string> &columns,
                const std::vector<std::vector<cell>> &rows);

// Writes the settings file, readable by its owner alone as it should be.
void write_settings(const std::string &content);

// Writes the settings file that reaches the scratch server, `extra` lines
// added at its end.
void write_good_settings(const std::string &extra = "");

struct run_options {
    mode_t umask = 027;                     // so that a file of secrets is not open to everyone
    rlim_t file_size_limit = RLIM_INFINITY; // writes past it fail
    bool merge_streams = false;             // standard error goes where standard output goes
    std::function<void()> in_child;         // runs in the child just before the program
};

struct run_result {
    std::string out;
    std::string err;
    int status; // exit status as the shell sees it; -1 if killed by a signal
    int signal; // the signal that killed it, or 0
};

// A run of the program under test that goes on while the test does other
// things; its output waits in the pipes until the test reads it.
struct started_program {
    pid_t pid;
    int out_fd, err_fd;
};

// Starts the program under test with `args` (argv[1] on).
started_program start_program(const std::vector<std::string> &args,
                              const run_options &options = {});

// Reads all it says and waits for its end.
run_result finish_program(const started_program &p);

// Runs the program under test and collects all it says.
run_result run_program(const std::vector<std::string> &args, const run_options &options = {});

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);

// `text` with the random part of every temporary file name as "XXXXXX".
std::string without_random_names(const std::string &text);

// Names in the configuration directory, sorted, the lock file that every
// run makes there left out.
std::vector<std::string> config_dir_entries();

// The lock file's name.
extern const char lock_file_name[];

// Empties the configuration directory.
void clear_config_dir();

// The long and the short usage banner, as the program prints them.
extern const char long_banner[];
extern const char short_banner[];

#include <gtest/gtest.h>

// Each end-to-end test starts from an empty configuration directory holding
// only the settings file that reaches the scratch server.
class ProgramTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        clear_config_dir();
        write_good_settings();
    }
};

// One run of a mode over a table made for it: what the file and the console
// must then hold.
struct mode_case {
    const char *name;
    std::vector<std::string> columns;
    std::vector<std::vector<cell>> rows;
    std::string file;    // the whole output file
    std::string console; // standard output after the "field_count = N" line, banner excluded
};

// Runs mode `arg` over `table` filled as the case says and checks every byte
// of the file, both streams and the exit status.
void check_mode_case(const char *arg, const char *table, const char *file_name, const mode_case &c);

// What a run writes and where, for tests of runs that fail.
struct mode_target {
    const char *arg, *table, *file;
    bool counts_rows; // prints "Recieved N rows"
};
extern const mode_target extension, horncell, webrtc;

// The console of a run up to its "field_count = N" line.
std::string console_head(const mode_target &m, std::size_t rows, std::size_t columns);

// The peer file that a failed run must leave as it was.
extern const char previous[];

// Permission bits of a file, or 0 when there is none.
mode_t mode_of(const std::string &path);

// Puts the previous file in place, runs the mode, and checks that the run
// failed with `console` on standard output and `cause` on standard error,
// left that file exactly as it was, and made or removed no other file.
void expect_failed_run(const mode_target &m, const std::string &console,
                       const run_options &opts = {}, const std::string &cause = "");

// The same for a run that refuses a row, whose console line
// "Row N column C holds H,PATH is left unchanged." `console` ends with: its
// standard error is the one cause line that goes with it,
// "peerloom: refuse PATH: row N (NAME) column C holds H; " and what to
// change.
void expect_refused_run(const mode_target &m, const std::string &console);
