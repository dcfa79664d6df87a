#pragma once

// A time limit for a conversation over a socket: once it passes, a timer
// shuts the watched socket down, so that a read or a write pending on it,
// or the next one, fails at once, whoever makes it and whatever wait it
// was given. While the limit runs, SIGALRM is its own; one runs at a time.

// Starts the limit, `seconds` from now; 0 sets none. Where the system
// cannot make the timer, there is none either.
void start_deadline(unsigned seconds);

// The socket to shut down when the time is up; -1 for none. A socket must
// be given up (-1) before it is closed, so that its number, reused, is not.
void watch_socket(int fd);

// True once the time is up; false while no limit runs.
bool past_deadline();

// Ends the limit and gives SIGALRM back its earlier handling.
void stop_deadline();
