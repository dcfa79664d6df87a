// Arbitrary bytes as the settings file, read by read_settings itself.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "run/build_config.h"
#include "run/settings.h"

namespace
{

void write_settings_file(const std::uint8_t *data, std::size_t size)
{
    static const std::string path = std::string(config_dir) + "/peerloom.ini";
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0)
        std::abort();
}

// A value comes from one piece of at most 99 bytes, after a key of at least
// six letters and the '='; a line feed can only end a piece, and is cut.
void check_value(const std::string &value)
{
    if (value.size() > 92 || value.find('\n') != std::string::npos)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    write_settings_file(data, size);
    db_settings settings;
    settings_stream in = read_settings(settings);
    // The file is this user's and readable: it is refused only for an
    // onchange value cut by the reader.
    if (!in && settings.onchange.empty())
        std::abort();
    for (const std::string *value :
         {&settings.dbserverip, &settings.dbuser, &settings.dbpasswd, &settings.dbname})
        check_value(*value);
    return 0;
}
