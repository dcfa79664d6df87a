#include "db/deadline.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <sys/socket.h>

namespace
{

timespec deadline;
timer_t timer;
bool running = false;
struct sigaction alarm_before; // SIGALRM's handling before the limit
volatile std::sig_atomic_t watched = -1;

extern "C" void cut_watched(int)
{
    int saved = errno;
    if (watched >= 0)
        shutdown(watched, SHUT_RDWR);
    errno = saved;
}

} // namespace

void start_deadline(unsigned seconds)
{
    if (seconds == 0)
        return;
    sigevent event = {};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGALRM;
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0)
        return;
    struct sigaction cut = {};
    cut.sa_handler = cut_watched;
    // Whatever else the run does meanwhile, reading files say, goes on.
    cut.sa_flags = SA_RESTART;
    sigemptyset(&cut.sa_mask);
    sigaction(SIGALRM, &cut, &alarm_before);
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += seconds;
    itimerspec when = {};
    when.it_value = deadline;
    timer_settime(timer, TIMER_ABSTIME, &when, nullptr);
    running = true;
}

void watch_socket(int fd)
{
    watched = fd;
}

bool past_deadline()
{
    if (!running)
        return false;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec ||
           (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

// The process has one thread: a signal of the timer is handled by the time
// timer_delete returns, while the handler is still in place.
void stop_deadline()
{
    if (!running)
        return;
    timer_delete(timer);
    sigaction(SIGALRM, &alarm_before, nullptr);
    running = false;
}
