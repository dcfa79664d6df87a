// The least a safe replacement of a peer file can cost: connect, run the
// query and store its whole result, then write the given bytes to a new
// file beside the target, sync it, rename it over the target and sync the
// directory. With "read" after the target it also reads the content's file
// whole first, as a run that compares its new bytes with the old file's
// must: the limit of a run that finds its file unchanged. bench/run times
// peerloom against both.
//
// Usage: floor HOST USER PASSWORD DATABASE QUERY CONTENT TARGET [read]
// CONTENT is the file whose bytes are written (peerloom's own output).

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mysql.h>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

[[noreturn]] void die(const char *what)
{
    std::perror(what);
    std::exit(1);
}

// The content, mapped rather than read, so that the floor copies it once.
std::string_view map_content(const char *path)
{
    int fd = open(path, O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        die(path);
    if (st.st_size == 0)
        return {};
    void *data = mmap(nullptr, st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (data == MAP_FAILED)
        die("mmap");
    close(fd);
    return {static_cast<const char *>(data), static_cast<std::size_t>(st.st_size)};
}

MYSQL_RES *query(MYSQL *conn, const char *const *db, const char *sql)
{
    if (mysql_real_connect(conn, db[0], db[1], db[2], db[3], 3306, nullptr, 0) == nullptr ||
        mysql_query(conn, sql) != 0)
        die(mysql_error(conn));
    MYSQL_RES *result = mysql_store_result(conn);
    if (result == nullptr)
        die(mysql_error(conn));
    return result;
}

void replace(const std::string &target, std::string_view content)
{
    std::string dir = target.substr(0, target.rfind('/'));
    std::string temp = target + ".floor-tmp";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        die(temp.c_str());
    for (std::size_t done = 0; done < content.size();) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n <= 0)
            die("write");
        done += static_cast<std::size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0 || rename(temp.c_str(), target.c_str()) != 0)
        die(target.c_str());
    int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir_fd < 0 || fsync(dir_fd) != 0)
        die(dir.c_str());
    close(dir_fd);
}

// Reads the file whole, as a run that compares it with its new content does.
void read_whole(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        die(path);
    static char buffer[1 << 16];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;)
        if (n < 0)
            die("read");
    close(fd);
}

} // namespace

int main(int argc, char *argv[])
{
    bool reads = argc == 9 && std::string_view(argv[8]) == "read";
    if (argc != 8 && !reads) {
        std::fprintf(stderr,
                     "usage: floor HOST USER PASSWORD DATABASE QUERY CONTENT TARGET [read]\n");
        return 2;
    }
    std::string_view content = map_content(argv[6]);
    MYSQL *conn = mysql_init(nullptr);
    MYSQL_RES *result = query(conn, argv + 1, argv[5]);
    if (reads)
        read_whole(argv[6]);
    replace(argv[7], content);
    mysql_free_result(result);
    mysql_close(conn);
    return 0;
}
