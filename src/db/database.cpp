#include "db/database.h"

#include <cstdio>
#include <cstring>
#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>
#include <string>
#include <vector>

#include "db/deadline.h"
#include "util/console.h"

char **exten_row = nullptr;

namespace
{

MYSQL conn;                     // the one connection, prepared by connection()
MYSQL_RES *res_exten = nullptr; // the stored result, null until a query is stored

// What connection() was given, for the hosts after the one that serves the
// run, should that one fail the query.
struct server_list {
    std::vector<std::string> hosts;
    std::size_t current = 0; // the host conn belongs to
    std::string user, password, database, ca_file;
    tls_mode tls = tls_mode::off;
} servers;

const char *run_sql = nullptr; // the run's query, to be asked again of the next host

// A server that accepts the connection and then never answers would hold
// the run, and the PBX's peers with it, for ever.
const unsigned connect_timeout_seconds = 10;
const unsigned read_write_timeout_seconds = 60;

void bound_waits()
{
    mysql_options(&conn, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout_seconds);
    mysql_options(&conn, MYSQL_OPT_READ_TIMEOUT, &read_write_timeout_seconds);
    mysql_options(&conn, MYSQL_OPT_WRITE_TIMEOUT, &read_write_timeout_seconds);
}

// With TLS off nothing is set, so the library behaves as it always has.
void secure(tls_mode tls, const char *ca_file)
{
    if (tls == tls_mode::off)
        return;
    my_bool required = 1;
    my_bool verified = tls == tls_mode::verify;
    mysql_options(&conn, MYSQL_OPT_SSL_ENFORCE, &required);
    mysql_options(&conn, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &verified);
    if (verified && *ca_file != '\0')
        mysql_options(&conn, MYSQL_OPT_SSL_CA, ca_file);
}

// Whoever answers at a server's address, a spoofed or a hijacked one, may
// ask for the password in clear (mysql_clear_password, dialog); it is given
// so only to a server whose certificate was verified. Nor may a server have
// the run send it a file (LOAD DATA LOCAL), which the run never needs.
void guard_password(tls_mode tls)
{
    if (tls != tls_mode::verify)
        mysql_optionsv(&conn, MARIADB_OPT_RESTRICTED_AUTH,
                       "mysql_native_password,client_ed25519,caching_sha2_password,"
                       "sha256_password,auth_gssapi_client,parsec");
    unsigned never = 0;
    mysql_options(&conn, MYSQL_OPT_LOCAL_INFILE, &never);
}

void report_failure(unsigned error, const char *reason)
{
    complain("Connection failed!\n");
    if (error != 0)
        complain("Connection error %u: %s\n", error, reason);
}

// `text` less the spaces and tabs at either end.
std::string_view without_blanks(std::string_view text)
{
    const char blanks[] = " \t";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The hosts that `list` names: its comma-separated items, blanks around each
// removed. An empty item ("a,,b", a trailing comma) is a slip of the pen,
// not a server, and is skipped. A list that names no host at all is the one
// empty host, which the client library takes for the local server's socket.
// A value without a comma is one host, handed over exactly as it stands, as
// it always was. The client library would take a comma list itself, but it
// tries the hosts silently; each is handed over alone so that every failure
// can be named.
std::vector<std::string> host_list(std::string_view list)
{
    if (list.find(',') == std::string_view::npos)
        return {std::string(list)};
    std::vector<std::string> hosts;
    for (;;) {
        std::size_t comma = list.find(',');
        std::string_view item = without_blanks(list.substr(0, comma));
        if (!item.empty())
            hosts.emplace_back(item);
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    if (hosts.empty())
        hosts.emplace_back();
    return hosts;
}

// Why a host could not serve the run: the client library's error number
// and message.
struct host_failure {
    unsigned error = 0;
    const char *reason = nullptr; // valid until conn is closed or prepared again
};

// Without verification the client library quietly falls back to plain TCP
// when the server cannot do TLS; a run that asked for TLS must not go on so.
// The connection is replaced by one never made, so that, if no other host
// serves the run, the query fails as after any failed connection.
bool refuse_plain_connection(tls_mode tls, host_failure &why)
{
    if (tls == tls_mode::off || mysql_get_ssl_cipher(&conn) != nullptr)
        return false;
    mysql_close(&conn);
    mysql_init(&conn);
    why = {CR_SSL_CONNECTION_ERROR,
           "TLS/SSL error: SSL is required, but the server does not support it"};
    return true;
}

// Prepares conn afresh and connects it to `host`, with the run's waits and
// TLS rules. Returns true, or false with the reason in `why`.
bool connect_host(const std::string &host, const char *user, const char *password,
                  const char *database, tls_mode tls, const char *ca_file, host_failure &why)
{
    mysql_init(&conn);
    bound_waits();
    secure(tls, ca_file);
    guard_password(tls);
    if (mysql_real_connect(&conn, host.c_str(), user, password, database, 3306, nullptr, 0) ==
        nullptr) {
        why = {mysql_errno(&conn), mysql_error(&conn)};
        return false;
    }
    return !refuse_plain_connection(tls, why);
}

// The host's name as the cause lines give it: the client library takes an
// empty one for the local server's socket.
const char *shown(const std::string &host)
{
    return host.empty() ? "localhost" : host.c_str();
}

// A server that passes its answer a byte at a time restarts the client
// library's read timeout with every byte, and would hold the run, and the
// directory's lock, for as long as it likes. So the query has a time of its
// own, from its first sending to its last row, whichever hosts it is asked of.
unsigned query_seconds = 0; // 0: no bound

// Connects to the first host from servers.hosts[first] on that answers, as
// connection() says; the last one's failure stays in conn.
void connect_from(std::size_t first)
{
    const std::vector<std::string> &hosts = servers.hosts;
    for (servers.current = first;; ++servers.current) {
        const std::string &host = hosts[servers.current];
        host_failure why;
        if (connect_host(host, servers.user.c_str(), servers.password.c_str(),
                         servers.database.c_str(), servers.tls, servers.ca_file.c_str(), why)) {
            watch_socket(mysql_get_socket(&conn));
            // utf8mb4, not utf8: the latter is the 3-byte utf8mb3, which
            // would turn every 4-byte character of the tables into '?'.
            mysql_set_character_set(&conn, "utf8mb4");
            std::puts("Connection success!");
            return;
        }
        if (servers.current + 1 == hosts.size()) {
            report_failure(why.error, why.reason);
            return;
        }
        report_cause({"connect", host, 0, why.reason});
        mysql_close(&conn);
    }
}

// Whether the query failed for a reason of the host that it was asked of,
// which another host may well not share: a Galera node that is not ready or
// not in its cluster's primary component (ER_UNKNOWN_COM_ERROR, "WSREP has
// not yet prepared node for application use") or that could not catch up
// with the cluster before the read (ER_LOCK_WAIT_TIMEOUT), a table this
// server lacks, a server shutting down, a connection killed or lost. What is
// wrong with the query or the account (a syntax error, access denied, no
// database selected) is the same on every host, and is said at once.
bool host_at_fault(unsigned error)
{
    switch (error) {
    case ER_UNKNOWN_COM_ERROR:
    case ER_LOCK_WAIT_TIMEOUT:
    case ER_NO_SUCH_TABLE:
    case ER_NO_SUCH_TABLE_IN_ENGINE:
    case ER_SERVER_SHUTDOWN:
    case ER_CONNECTION_KILLED:
    case CR_SERVER_GONE_ERROR:
    case CR_SERVER_LOST:
        return true;
    default:
        return false;
    }
}

// After the query failed on the current host: passes that host over, with a
// cause line, for the next one that connects, when the failure is the
// host's, another host remains and there is time left. True when the query
// is to be asked again.
bool pass_over()
{
    if (past_deadline() || !host_at_fault(mysql_errno(&conn)) ||
        servers.current + 1 == servers.hosts.size())
        return false;
    report_cause({"query", servers.hosts[servers.current], 0, mysql_error(&conn)});
    watch_socket(-1);
    mysql_close(&conn);
    connect_from(servers.current + 1);
    return true;
}

// Sends the run's query to the current host and reads the start of its
// answer. `meanwhile`, when set, runs while the server works, and is then
// cleared: it runs once, whichever host answers.
int ask(std::function<void()> &meanwhile)
{
    if (past_deadline())
        return -1;
    int status = mysql_send_query(&conn, run_sql, std::strlen(run_sql));
    if (status == 0 && meanwhile) {
        meanwhile();
        meanwhile = nullptr;
    }
    if (status == 0)
        status = mysql_read_query_result(&conn);
    return status;
}

void report_query_failure()
{
    if (past_deadline()) {
        std::string late = "no whole answer within " + std::to_string(query_seconds) + " s";
        report_cause({"query", shown(servers.hosts[servers.current]), 0, late.c_str()});
        return;
    }
    complain("SELECT error: %s\n", mysql_error(&conn));
    report_cause({"query", shown(servers.hosts[servers.current]), 0, mysql_error(&conn)});
}

} // namespace

void connection(const char *hosts, const char *user, const char *password, const char *database,
                tls_mode tls, const char *ca_file)
{
    servers = {host_list(hosts), 0, user, password, database, ca_file, tls};
    connect_from(0);
}

void limit_query_time(unsigned seconds)
{
    query_seconds = seconds;
}

int run_query(const char *sql, const std::function<void()> &meanwhile)
{
    run_sql = sql;
    start_deadline(query_seconds);
    std::function<void()> pending = meanwhile;
    int status = ask(pending);
    while (status != 0 && pass_over())
        status = ask(pending);
    if (status != 0) {
        report_query_failure();
        stop_deadline();
    }
    return status;
}

int store_result()
{
    res_exten = mysql_store_result(&conn);
    std::function<void()> nothing;
    while (res_exten == nullptr && pass_over())
        if (ask(nothing) == 0)
            res_exten = mysql_store_result(&conn);
    if (res_exten == nullptr)
        report_query_failure();
    stop_deadline();
    return res_exten == nullptr ? -1 : 0;
}

void report_row_count()
{
    if (res_exten != nullptr)
        std::printf("Recieved %lu rows\n", static_cast<unsigned long>(mysql_num_rows(res_exten)));
}

std::size_t row_count()
{
    return res_exten != nullptr ? static_cast<std::size_t>(mysql_num_rows(res_exten)) : 0;
}

unsigned column_count()
{
    return mysql_num_fields(res_exten);
}

char **next_row()
{
    exten_row = mysql_fetch_row(res_exten);
    return exten_row;
}

const unsigned long *row_lengths()
{
    return mysql_fetch_lengths(res_exten);
}

void rewind_columns()
{
    mysql_field_seek(res_exten, 0);
}

std::string_view next_column_name()
{
    const MYSQL_FIELD *field = mysql_fetch_field(res_exten);
    return {field->name, field->name_length};
}

void close_database()
{
    mysql_free_result(res_exten);
    res_exten = nullptr;
    watch_socket(-1);
    mysql_close(&conn);
}
