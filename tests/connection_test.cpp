#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

namespace
{

// A server that accepts connections and never says a word: the kernel
// completes each handshake from the listen queue.
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

} // namespace
