#include "peers/conf_lines.h"

namespace
{

// The first ';' of a value. Most values are a few bytes long, where a loop
// here costs less than a call into the library.
std::size_t find_semicolon(std::string_view value)
{
    if (value.size() > 32)
        return value.find(';');
    for (std::size_t i = 0; i < value.size(); ++i)
        if (value[i] == ';')
            return i;
    return std::string_view::npos;
}

} // namespace

void put_header(output_file &out, std::string_view name, std::string_view end)
{
    out.put("[");
    out.put(name);
    out.put(end);
}

void put_setting(output_file &out, std::string_view key, std::string_view value,
                 std::string_view suffix)
{
    out.put(key);
    out.put(" = ");
    for (std::size_t semicolon; (semicolon = find_semicolon(value)) != std::string_view::npos;) {
        out.put(value.substr(0, semicolon));
        out.put("\\;");
        value.remove_prefix(semicolon + 1);
    }
    out.put(value);
    out.put(suffix);
    out.put("\n");
}
