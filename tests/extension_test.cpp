#include "harness.h"

namespace
{

const std::string warning = "something wrong happened to codecs selection.\n";
const cell null = std::nullopt;

const mode_case extension_cases[] = {
    {"skip list, mailbox context and codecs",
     {"_id", "_exten", "_mailbox", "_position", "_alaw", "_ulaw", "_g729"},
     {{"1", "801", "801", "3", "1", "1", "0"}},
     "[801]\nmailbox = 801@default\ndisallow = all\nallow = alaw,ulaw\n",
     ""},
    {"empty table", {"_id", "_exten", "_secret"}, {}, "", ""},
    {"mailbox that names its context, empty or null mailbox",
     {"_exten", "_mailbox", "_alaw", "_ulaw"},
     {{"801", "801@office", "1", "1"}, {"802", "", "1", "1"}, {"803", null, "1", "1"}},
     "[801]\nmailbox = 801@office\ndisallow = all\nallow = alaw,ulaw\n"
     "[802]\ndisallow = all\nallow = alaw,ulaw\n"
     "[803]\ndisallow = all\nallow = alaw,ulaw\n",
     ""},
    {"empty secrets are written, other empty columns are not",
     {"_exten", "_secret", "_vmsecret", "_context", "_callerid", "_SEC", "_secrets"},
     {{"801", "", null, "", null, "", ""}},
     "[801]\nsecret = \nvmsecret = \nSEC = \ndisallow = all\nallow = \n",
     warning},
    {"each mode has its own outbound cid keyword",
     {"_exten", "_outbound_cid", "_outboundcid", "outbound_cid", "_alaw", "_g722"},
     {{"801", "111", "222", "333", "1", "1"}},
     "[801]\noutboundcid = 222\nutbound_cid = 333\ndisallow = all\nallow = alaw,g722\n",
     ""},
    {"codec values: only 1, empty or null enable",
     {"_exten", "_alaw", "_ulaw", "_g729", "_g726", "_g722", "_gsm", "_speex", "_h261", "_h263",
      "_h263p", "_h264"},
     {{"801", "1", "", null, "0", "yes", "11", " 1", "1 ", "2", "1", "1"}},
     "[801]\ndisallow = all\nallow = alaw,ulaw,g729,h263p,h264\n",
     ""},
    {"codec warning for an empty list and for gsm alone",
     {"_exten", "_gsm", "_alaw"},
     {{"801", "1", "0"}, {"802", "0", "0"}, {"803", "1", "1"}},
     "[801]\ndisallow = all\nallow = gsm\n[802]\ndisallow = all\nallow = \n"
     "[803]\ndisallow = all\nallow = gsm,alaw\n",
     warning + warning},
    {"codec names keep the column's letter case and shortened names",
     {"_exten", "_ALAW", "_g", "_h263", "_h263p", "_H26"},
     {{"801", "1", "1", "1", "1", "1"}},
     "[801]\ndisallow = all\nallow = ALAW,g,h263,h263p,H26\n",
     ""},
    {"shortened names fall to the first keyword that takes them; the first header names the row",
     {"_", "_e", "_exten", "_F", "_f4", "_p", "_o", "_s", "_vm", "_m", "_context"},
     {{"1", "e", "801", "x", "x", "x", "x", "", "", "9", "c"}},
     "[e]\nvm = \nm = 9@default\ncontext = c\ndisallow = all\nallow = s\n",
     warning},
    {"the header comes first, wherever its column stands",
     {"_secret", "_exten", "_mailbox"},
     {{"s1", "801", "1"}, {"s2", "802", "2"}},
     "[801]\nsecret = s1\nmailbox = 1@default\ndisallow = all\nallow = \n"
     "[802]\nsecret = s2\nmailbox = 2@default\ndisallow = all\nallow = \n",
     warning + warning},
    {"two header columns and an empty header",
     {"_exten", "_ext", "_host"},
     {{"", "801", "dynamic"}},
     "[]\nhost = dynamic\ndisallow = all\nallow = \n",
     warning},
    {"a null header",
     {"_exten", "_ext", "_host"},
     {{null, "", "static"}},
     "[]\nhost = static\ndisallow = all\nallow = \n",
     warning},
    {"blanks the PBX strips from a value it may take so are written as they stand",
     {"_exten", "_callerid", "_context"},
     {{"801", "Desk ", "\x01from-internal"}},
     "[801]\ncallerid = Desk \ncontext = \x01from-internal\ndisallow = all\nallow = \n",
     warning},
    {"rows come in the order of _exten",
     {"_id", "_exten", "_alaw"},
     {{"3", "803", "1"}, {"1", "801", "1"}, {"2", "802", "1"}},
     "[801]\ndisallow = all\nallow = alaw\n[802]\ndisallow = all\nallow = alaw\n"
     "[803]\ndisallow = all\nallow = alaw\n",
     ""},
    {"a column without underscore loses its first character all the same",
     {"_exten", "context", "callerid"},
     {{"801", "from-internal", "\"Desk\" <801>"}},
     "[801]\nontext = from-internal\nallerid = \"Desk\" <801>\ndisallow = all\nallow = \n",
     warning},
    {"values are written byte for byte, four-byte characters included, ';' escaped",
     {"_exten", "_callerid", "_description", "_setvar"},
     {{"801", "\xe7\x8e\x8b\xe5\xb0\x8f\xe6\x98\x8e", "\xf0\x9f\x93\x9e desk \xf0\xa0\x80\x8b",
       "A=1;B=2] \t"}},
     "[801]\ncallerid = \xe7\x8e\x8b\xe5\xb0\x8f\xe6\x98\x8e\n"
     "description = \xf0\x9f\x93\x9e desk \xf0\xa0\x80\x8b\nsetvar = A=1\\;B=2] \t\n"
     "disallow = all\nallow = \n",
     warning},
    {"long names and values are kept whole",
     {"_exten", "_a_column_name_much_longer_than_twenty_bytes", "_alaw", "_ulaw", "_g729", "_g726",
      "_g722", "_gsm", "_speex", "_h261", "_h263", "_h263p", "_h264"},
     {{"801", std::string(255, 'v'), "1", "1", "1", "1", "1", "1", "1", "1", "1", "1", "1"}},
     "[801]\na_column_name_much_longer_than_twenty_bytes = " + std::string(255, 'v') +
         "\ndisallow = all\nallow = alaw,ulaw,g729,g726,g722,gsm,speex,h261,h263,h263p,h264\n",
     ""},
};

TEST_F(ProgramTest, ExtensionFile)
{
    for (const mode_case &c : extension_cases)
        check_mode_case("0", "users_extension", "users_extension.conf", c);
}

} // namespace
