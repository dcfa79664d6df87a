#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "conf/line_reader.h"

namespace
{

using namespace std::string_literals;
using kind = conf_line::kind;

// What the reader made of a text, one line of it at a time: "H name (options)"
// for a header, "S key = value" for a setting ("+=" and "=>" as they are),
// "D word value" for a directive, "F" for a line that makes the PBX give up
// the file, "-" for nothing.
std::vector<std::string> readings(const std::string &text)
{
    std::vector<std::string> seen;
    conf_reader reader;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        reader.read(std::string_view(text).substr(at, end - at), [&](const conf_line &line) {
            const std::string name(line.name), value(line.value);
            const char *op = line.appends ? " += " : line.object ? " => " : " = ";
            switch (line.is) {
            case kind::nothing:
                seen.push_back("-");
                break;
            case kind::header:
                seen.push_back("H " + name + (line.has_options ? " (" + value + ")" : ""));
                break;
            case kind::directive:
                seen.push_back("D " + name + " " + value);
                break;
            case kind::setting:
                seen.push_back("S " + name + op + value);
                break;
            case kind::fatal:
                seen.push_back("F");
                break;
            }
        });
        at = end;
    }
    return seen;
}

// Each case's reading was worked out from config_text_file_load() and
// process_text_line() in main/config.c of the PBX's 20 and 22 releases.
TEST(LineReader, ReadsLinesAsThePbxParserDoes)
{
    const std::string long_value(8186, 'v'); // "k = " and this: 8190 bytes
    const struct {
        const char *name;
        std::string text;
        std::vector<std::string> read;
    } cases[] = {
        {"headers, their options, and what follows them",
         "[801]\n[webrtc](!)\n[901](webrtc)\n[80]1](webrtc)\n  [802]x\n",
         {"H 801", "H webrtc (!)", "H 901 (webrtc)", "H 80", "H 802"}},
        {"a header without its ']' or ')' makes the PBX give up the file",
         "[801\n[801](x\n",
         {"F", "F"}},
        {"a section's name is cut to 79 bytes",
         "[" + std::string(90, 'n') + "]\n",
         {"H " + std::string(79, 'n')}},
        {"every byte below 33 is stripped from both ends, of the line, key and value",
         "\x01 secret \x1f=\t\x02pw\x03 \r\n\x7f = x\n",
         {"S secret = pw", "S \x7f = x"}},
        {"escapes, comments and block comments",
         "a = x\\;y;z\nb = p ;-- q --; r\n;-- open\nc = 1\n--; d = 2\n",
         {"S a = x;y", "S b = p  r", "-", "-", "S d = 2"}},
        {"a stray end of a block comment hides every later line",
         "--;\ne = 1\n;--\nf = 2\n",
         {"-", "-", "-", "S f = 2"}},
        {"\"--;\" after an escaped ';' is no comment's end", "g = --\\;\n", {"S g = --;"}},
        {"=, => and +=",
         "h => v\ni+= v\nj += v\nk = >v\n",
         {"S h => v", "S i += v", "S j += v", "S k = >v"}},
        {"a key's first byte escaped, and an escape the PBX rejects",
         "\\#x = v\n\\[y = v\n\\ z = v\n",
         {"S #x = v", "S [y = v", "F"}},
        {"directives, their quotes, and lines the PBX drops with a warning",
         "#include a.conf\n#tryinclude \"b c.conf\"\n#exec <cmd>\n\x01#INCLUDE d\n#includes e\n"
         "#include\nno equals sign\n = v\n",
         {"D include a.conf", "D tryinclude b c.conf", "D exec cmd", "D include d", "-", "-", "-",
          "-"}},
        {"a NUL byte ends what the PBX sees of a line", "k = a\0b\n\0[801]\n"s, {"S k = a", "-"}},
        {"a byte order mark is skipped on the first line alone",
         "\xEF\xBB\xBF[801]\n\xEF\xBB\xBF[802]\n",
         {"H 801", "-"}},
        {"a line of 8191 bytes or more before its line feed is skipped whole",
         "k = " + long_value + "\nk = " + long_value + "w\n[next]\n",
         {"S k = " + long_value, "H next"}},
        {"a long line with a NUL byte in its first 8191 is read a buffer at a time",
         "k = x" + "\0"s + std::string(8185, 'p') + "y = 2\n",
         {"S k = x", "S y = 2"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(readings(c.text), c.read) << c.name;
}

} // namespace
