#pragma once

// What is fixed when the program is built, never at run time.

// The directory that holds the settings file and receives the peer files
// (PEERLOOM_CONFIG_DIR).
extern const char config_dir[];

// How long a run waits for another run that is writing into the same
// directory before it gives up (PEERLOOM_LOCK_WAIT_SECONDS).
extern const int lock_wait_seconds;

// How long a run waits for the onchange command before it kills it
// (PEERLOOM_ONCHANGE_WAIT_SECONDS).
extern const int onchange_wait_seconds;

// How long a run waits for the whole answer to its query, over every host
// it asks, before it gives up (PEERLOOM_QUERY_WAIT_SECONDS).
extern const int query_wait_seconds;
