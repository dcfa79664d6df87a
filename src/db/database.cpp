#include "db/database.h"

#include <cstdio>
#include <mysql.h>

char **exten_row = nullptr;

namespace
{

MYSQL conn;                     // the one connection, prepared by connection()
MYSQL_RES *res_exten = nullptr; // the stored result, null until a query is stored

} // namespace

void connection(const char *host, const char *user, const char *password, const char *database)
{
    mysql_init(&conn);
    if (mysql_real_connect(&conn, host, user, password, database, 3306, nullptr, 0) == nullptr) {
        std::fputs("Connection failed!\n", stderr);
        if (mysql_errno(&conn) != 0)
            std::fprintf(stderr, "Connection error %u: %s\n", mysql_errno(&conn),
                         mysql_error(&conn));
        return;
    }
    // utf8mb4, not utf8: the latter is the 3-byte utf8mb3, which would turn
    // every 4-byte character of the tables into '?'.
    mysql_set_character_set(&conn, "utf8mb4");
    std::puts("Connection success!");
}

int run_query(const char *sql)
{
    int status = mysql_query(&conn, sql);
    if (status != 0)
        std::fprintf(stderr, "SELECT error: %s\n", mysql_error(&conn));
    return status;
}

int store_result()
{
    res_exten = mysql_store_result(&conn);
    if (res_exten == nullptr) {
        std::fprintf(stderr, "SELECT error: %s\n", mysql_error(&conn));
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

void rewind_columns()
{
    mysql_field_seek(res_exten, 0);
}

const char *next_column_name()
{
    return mysql_fetch_field(res_exten)->name;
}

void close_database()
{
    mysql_free_result(res_exten);
    res_exten = nullptr;
    mysql_close(&conn);
}
