#include "peers/conf_lines.h"

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
    for (std::size_t semicolon; (semicolon = value.find(';')) != std::string_view::npos;) {
        out.put(value.substr(0, semicolon));
        out.put("\\;");
        value.remove_prefix(semicolon + 1);
    }
    out.put(value);
    out.put(suffix);
    out.put("\n");
}
