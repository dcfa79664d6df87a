#include "run/build_config.h"

const char config_dir[] = PEERLOOM_CONFIG_DIR;
const int lock_wait_seconds = PEERLOOM_LOCK_WAIT_SECONDS;
const int onchange_wait_seconds = PEERLOOM_ONCHANGE_WAIT_SECONDS;
const int query_wait_seconds = PEERLOOM_QUERY_WAIT_SECONDS;
