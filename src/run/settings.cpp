#include "run/settings.h"

#include <cctype>
#include <cstring>
#include <string_view>
#include <strings.h>

#include "run/config_dir.h"

namespace
{

struct settings_key {
    const char *word;
    std::string db_settings::*slot;
};

const settings_key settings_keys[] = {
    {"dbserverip", &db_settings::dbserverip},
    {"dbuser", &db_settings::dbuser},
    {"dbpasswd", &db_settings::dbpasswd},
    {"dbname", &db_settings::dbname},
};

// A line counts for a key when it starts, in its first column, with the key
// in any letter case; "dbnamex = ..." therefore counts as dbname.
bool starts_with_key(const char *line, const char *key)
{
    return strncasecmp(line, key, std::strlen(key)) == 0;
}

} // namespace

bool getstring(const char *line, std::string &dest)
{
    const char *equals = std::strchr(line, '=');
    if (equals == nullptr)
        return false;
    std::string_view value(equals + 1);

    // One blank after '=' is the separator; any further blank is the value's.
    if (!value.empty() && std::isspace(static_cast<unsigned char>(value.front())))
        value.remove_prefix(1);

    // A CR before the last character ends the value there, whatever that
    // last character is; otherwise only a final LF is cut.
    std::size_t n = value.size();
    if (n >= 2 && value[n - 2] == '\r')
        value.remove_suffix(2);
    else if (n >= 1 && value[n - 1] == '\n')
        value.remove_suffix(1);

    dest.assign(value);
    return true;
}

settings_stream read_settings(db_settings &settings)
{
    std::string path = std::string(config_dir) + "/peerloom.ini";
    settings_stream in(std::fopen(path.c_str(), "r"));
    if (!in) {
        std::printf("File: %s is not open ,fail.\n", path.c_str());
        return nullptr;
    }

    // The file is read in pieces of at most 99 characters; each piece of a
    // longer line is tested as a line of its own. A read error ends the
    // reading as the end of the file does.
    char piece[100];
    while (std::fgets(piece, sizeof piece, in.get()) != nullptr)
        for (const settings_key &key : settings_keys)
            if (starts_with_key(piece, key.word))
                getstring(piece, settings.*key.slot);
    return in;
}
