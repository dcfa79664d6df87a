#include "run/config_dir.h"

const char config_dir[] = PEERLOOM_CONFIG_DIR;
