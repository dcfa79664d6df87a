// Arbitrary bytes as the settings file, read by read_settings itself.

#include <cctype>
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

// Whether the bytes hold the word onchange, in any letter case: only a line
// that starts with it can have the file refused.
bool names_onchange(const std::uint8_t *data, std::size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text.find("onchange") != std::string::npos;
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
    // onchange line, one that the reader cut or that holds a NUL byte, or
    // one in a directory that others may write.
    if (!in && !names_onchange(data, size))
        std::abort();
    for (const std::string *value :
         {&settings.dbserverip, &settings.dbuser, &settings.dbpasswd, &settings.dbname,
          &settings.dbcafile, &settings.driver, &settings.onchange, &settings.maxdrop})
        check_value(*value);
    drop_limit limit;
    if (choose_maxdrop(settings, limit) &&
        (limit.set == settings.maxdrop.empty() || (limit.percent && limit.most > 100)))
        std::abort();
    return 0;
}
