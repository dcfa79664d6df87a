#include <gtest/gtest.h>
#include <string>
#include <string_view>

#include "peers/line_check.h"
#include "peers/rules.h"

namespace
{

TEST(ColumnMatch, NameEqualsKeywordOrALeadingPartOfIt)
{
    struct {
        const char *name, *keyword;
        bool match;
    } cases[] = {
        {"_exten", "_exten", true},
        {"_EXTEN", "_exten", true},
        {"_Secret", "_secret", true},
        {"_ext", "_exten", true},
        {"_extens", "_exten", false},
        {"_h263p", "_h263", false},
        {"_F", "_F1", true},
        {"_f1", "_F1", true},
        {"", "_id", true},
        {"exten", "_exten", false},
        {"1", "1", true},
        {"", "1", true},
        {"11", "1", false},
        {"0", "1", false},
        {"yes", "1", false},
        {"\xc3\xa9", "_id", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(column_match(c.name, c.keyword), c.match) << c.name << " ~ " << c.keyword;
}

TEST(HandleString, DropsTheFirstCharacterWhateverItIs)
{
    EXPECT_EQ(handle_string("_secret"), "secret");
    EXPECT_EQ(handle_string("context"), "ontext");
    EXPECT_EQ(handle_string("_ALAW"), "ALAW");
    EXPECT_EQ(handle_string("_"), "");
    EXPECT_EQ(handle_string(""), "");
    std::string longname = "_" + std::string(63, 'k');
    EXPECT_EQ(handle_string(longname.c_str()), std::string(63, 'k'));
}

TEST(WithCodecs, AppendsTheElevenCodecKeywordsInOrder)
{
    rule_chain chain = with_codecs({{"_id", rule_kind::skip}});
    ASSERT_EQ(chain.size(), 12u);
    std::string keywords;
    for (const rule &r : chain)
        keywords += std::string(r.keyword) + " ";
    EXPECT_EQ(keywords, "_id _alaw _ulaw _g729 _g726 _g722 _gsm _speex _h261 _h263 _h263p _h264 ");
}

using namespace std::string_view_literals;

struct hazard_case {
    std::string_view key;
    std::string_view value;
    const char *setting;
    const char *header;
};

TEST(UnsafeText, NamesWhatWouldBreakTheFile)
{
    const char *none = nullptr;
    const hazard_case cases[] = {
        {"secret", "plain", none, none},
        {"secret", "", none, none},
        {"secret", "a;b]c", none, "a closing bracket"},
        {"secret", "a;b", none, "a semicolon"},
        {"secret", "a\nb", "a line break", "a line break"},
        {"secret", "ab\r", "a line break", "a line break"},
        {"secret", "x;--", "a block comment marker", "a block comment marker"},
        {"secret", "--;x", "a block comment marker", "a block comment marker"},
        {"secret", ";-", none, "a semicolon"},
        {"secret", "-;-", none, "a semicolon"},
        {"secret", "--", none, none},
        {"secret", ";", none, "a semicolon"},
        {"secret", ";--", "a block comment marker", "a block comment marker"},
        {"secret", "--;", "a block comment marker", "a block comment marker"},
        {"secret", "a-;--b", "a block comment marker", "a block comment marker"},
        {"secret", "-;-;-", none, "a semicolon"},
        {"secret", "- -;", none, "a semicolon"},
        {"secret", "plain\n", "a line break", "a line break"},
        {"secret", ";--\n", "a line break", "a line break"}, // line break comes first
        {"secret", "];--", "a block comment marker", "a block comment marker"},
        {"sec\nret", "v", "a line break", none},
        {"sec;--ret", "v", "a block comment marker", none},
        {"sec]ret", "v", none, none},
        {"sec\rret", "v;--", "a line break", "a block comment marker"},
        {"secret", "nul\0tail"sv, "a NUL byte", "a NUL byte"},
        {"secret", ";--\0"sv, "a NUL byte", "a NUL byte"}, // worse than a comment marker
        {"secret", "\0\n"sv, "a line break", "a line break"},
        {"[general]", "v", "a character that ends a key", none},
        {" \t#include", "v", "a character that ends a key", none},
        {"a=b", "v", "a character that ends a key", none},
        {"a;b", "v", "a character that ends a key", none},
        {"a[b#", "v", none, none},
        {"[x\n", "v", "a line break", none}, // the existing reasons come first
        {" \\ x", "v", "a character that ends a key", none},
        {"\\[", "v", "a character that ends a key", none},
        {"a+", "v", "a character that ends a key", none},
        {"a\\b+c", "v", none, none},
        {"secret", "WebRTC", none, "the name of the WebRTC template"},
        {"secret", "webrtc2", none, none},
    };
    for (const hazard_case &c : cases) {
        const char *setting = setting_hazard(check_key(c.key), c.value);
        const char *header = header_hazard(c.value, "]\n");
        EXPECT_STREQ(setting, c.setting) << c.key << " = " << c.value;
        EXPECT_STREQ(header, c.header) << "[" << c.value << "]";
    }
}

// The PBX skips a line of 8191 bytes or more before its line feed; a line
// is measured as written, escapes, suffix and header ending included.
TEST(UnsafeText, LinesThePbxWouldSkip)
{
    const char *too_long = "a line too long for the PBX";
    const std::string fits(8181, 'v'), over(8182, 'v'), escaped = std::string(8180, 'v') + ";";
    const std::string broken = over + "\n"; // a string of its own, for the views below to see
    const struct {
        std::string_view key, value, suffix;
        const char *hazard;
    } settings[] = {
        {"secret", fits, "", nullptr}, // 6 + 3 + 8181 = 8190 bytes
        {"secret", over, "", too_long},
        {"secret", escaped, "", too_long}, // "\;" is two bytes
        {"mailbox", std::string_view(fits).substr(9), "@default", nullptr},
        {"mailbox", std::string_view(fits).substr(8), "@default", too_long},
        {"secret", broken, "", "a line break"}, // a broken line is named first
    };
    for (const auto &c : settings)
        EXPECT_STREQ(setting_hazard(check_key(c.key), c.value, c.suffix), c.hazard)
            << c.key << " " << c.value.size();

    const std::string name(8188, 'n');
    EXPECT_EQ(header_hazard(name, "]\n"), nullptr); // "[" + 8188 + "]"
    EXPECT_STREQ(header_hazard(name + "n", "]\n"), too_long);
    EXPECT_STREQ(header_hazard(name.substr(7), "](webrtc)\n"), too_long);
    EXPECT_EQ(header_hazard(name.substr(8), "](webrtc)\n"), nullptr);
}

} // namespace
