#include "db/database.h"

#include <cstdio>
#include <cstring>
#include <errmsg.h>
#include <mysql.h>
#include <string>
#include <vector>

#include "util/console.h"

char **exten_row = nullptr;

namespace
{

MYSQL conn;                     // the one connection, prepared by connection()
MYSQL_RES *res_exten = nullptr; // the stored result, null until a query is stored

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
    if (mysql_real_connect(&conn, host.c_str(), user, password, database, 3306, nullptr, 0) ==
        nullptr) {
        why = {mysql_errno(&conn), mysql_error(&conn)};
        return false;
    }
    return !refuse_plain_connection(tls, why);
}

} // namespace

void connection(const char *hosts, const char *user, const char *password, const char *database,
                tls_mode tls, const char *ca_file)
{
    std::vector<std::string> candidates = host_list(hosts);
    for (const std::string &host : candidates) {
        host_failure why;
        if (connect_host(host, user, password, database, tls, ca_file, why)) {
            // utf8mb4, not utf8: the latter is the 3-byte utf8mb3, which
            // would turn every 4-byte character of the tables into '?'.
            mysql_set_character_set(&conn, "utf8mb4");
            std::puts("Connection success!");
            return;
        }
        // The last host's failure stays in conn, for the query to meet.
        const bool last = &host == &candidates.back();
        if (last) {
            report_failure(why.error, why.reason);
            return;
        }
        report_cause({"connect", host, 0, why.reason});
        mysql_close(&conn);
    }
}

int run_query(const char *sql, const std::function<void()> &meanwhile)
{
    int status = mysql_send_query(&conn, sql, std::strlen(sql));
    if (status == 0 && meanwhile)
        meanwhile();
    if (status == 0)
        status = mysql_read_query_result(&conn);
    if (status != 0)
        complain("SELECT error: %s\n", mysql_error(&conn));
    return status;
}

int store_result()
{
    res_exten = mysql_store_result(&conn);
    if (res_exten == nullptr) {
        complain("SELECT error: %s\n", mysql_error(&conn));
        return -1;
    }
    return 0;
}

void report_row_count()
{
    if (res_exten != nullptr)
        std::printf("Recieved %lu rows\n", static_cast<unsigned long>(mysql_num_rows(res_exten)));
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
    mysql_close(&conn);
}
