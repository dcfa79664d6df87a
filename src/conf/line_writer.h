#pragma once

#include <string>
#include <string_view>

// The two kinds of line a peer file holds, in the PBX's configuration
// syntax. They write into anything with a put(std::string_view): the output
// file, or a text that is read back before the line is written for real,
// so that what is checked is byte for byte what is written.

// "[name" followed by `end`: "]\n", or "](webrtc)\n" for a section that
// inherits the template.
template <typename Sink> void put_header(Sink &out, std::string_view name, std::string_view end)
{
    out.put("[");
    out.put(name);
    out.put(end);
}

// "key = value" and `suffix`, then a line feed. Every ';' of the value is
// written as "\;": the PBX would read a plain one as the start of a comment
// and cut the value there, and it reads "\;" back as ';'.
template <typename Sink>
void put_setting(Sink &out, std::string_view key, std::string_view value,
                 std::string_view suffix = {})
{
    out.put(key);
    out.put(" = ");
    // Most values are a few bytes long, where a loop here costs less than a
    // call into the library.
    auto semicolon = [](std::string_view text) {
        if (text.size() > 32)
            return text.find(';');
        for (std::size_t i = 0; i < text.size(); ++i)
            if (text[i] == ';')
                return i;
        return std::string_view::npos;
    };
    for (std::size_t at; (at = semicolon(value)) != std::string_view::npos;) {
        out.put(value.substr(0, at));
        out.put("\\;");
        value.remove_prefix(at + 1);
    }
    out.put(value);
    out.put(suffix);
    out.put("\n");
}

// A sink that collects the text in a string.
struct text_sink {
    std::string &text;
    void put(std::string_view piece) { text += piece; }
};
