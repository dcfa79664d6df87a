#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

// The run's one connection to a database server, the first of the named ones
// that answers and can serve the query, and the stored result of its one
// query, which takes a bounded time. This is the only code that talks to the
// client library.

// How the connection is secured.
enum class tls_mode {
    off,    // plain TCP, as the server allows
    on,     // TLS required; the server's certificate is not checked
    verify, // TLS required; certificate and host name verified
};

// The current row of the stored result: one text per column in the table's
// column order (null for SQL NULL), null once the rows have run out.
extern char **exten_row;

// Connects with the settings and says on the console whether it worked.
// `hosts` names one server, as it stands, or several, separated by commas,
// blanks around each ignored and empty items skipped; an empty value, or a
// list that names no host, is the local server's socket. They are tried in
// order, each with the same waits and TLS rules, and the first that
// connects serves the run. Each one that fails before the last gets a cause
// line on standard error; the last one's failure is reported as a failed
// connection.
// `ca_file`, when not empty, holds the certificates that verify the server.
// The caller is not told: a failed connection shows up as a failed query.
void connection(const char *hosts, const char *user, const char *password, const char *database,
                tls_mode tls, const char *ca_file);

// From the sending of the query to its last row the run takes at most
// `seconds`, over every host it asks; 0, as before the call, sets no bound.
void limit_query_time(unsigned seconds);

// Runs `sql`; returns 0, or non-zero after printing the server's complaint.
// `meanwhile`, when given, runs once the query is sent, while the server
// works on it: time the run would otherwise spend waiting. It runs once,
// whichever host answers.
// A host that fails the query for a reason of its own (not ready, not in
// its cluster's primary component, lacking the table, the connection lost)
// is passed over like one that does not connect, with a cause line, for the
// next host of the list that connects; the last one's failure is reported.
// Past the time limit the run gives up with a cause line.
int run_query(const char *sql, const std::function<void()> &meanwhile = {});

// Keeps the whole result of the query on the client side; returns 0, or -1
// after printing why there is no result. A host that fails here is passed
// over as in run_query, and the query asked again of the next one.
int store_result();

// Prints how many rows the stored result holds.
void report_row_count();

// How many rows the stored result holds.
std::size_t row_count();

// Number of columns of the stored result.
unsigned column_count();

// Steps to the next row and leaves it in exten_row; null after the last one.
char **next_row();

// The byte lengths of exten_row's values: a value may hold NUL bytes.
const unsigned long *row_lengths();

// Column descriptors are read in order; rewinding makes the next one column 0.
void rewind_columns();
std::string_view next_column_name();

// Frees the stored result and closes the connection.
void close_database();
