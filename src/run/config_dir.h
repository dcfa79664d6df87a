#pragma once

// The directory that holds the settings file and receives the peer files.
// It is fixed when the program is built (PEERLOOM_CONFIG_DIR), never at run time.
extern const char config_dir[];
