#include "harness.h"

namespace
{

const std::string warning = "something wrong happened to codecs selection.\n";
const cell null = std::nullopt;

const mode_case horncell_cases[] = {
    {"codec list traced on the console",
     {"_id", "_exten", "_secret", "_alaw", "_ulaw", "_g722"},
     {{"1", "802", "pw", "1", "0", "1"}},
     "[802]\nsecret = pw\ndisallow = all\nallow = alaw,g722\n",
     "codecs len 10\ncodecs = alaw,g722\n"},
    {"no codec, and gsm alone",
     {"_exten", "_gsm"},
     {{"802", "0"}, {"803", "1"}},
     "[802]\ndisallow = all\nallow = \n[803]\ndisallow = all\nallow = gsm\n",
     "codecs len 0\n" + warning + "codecs = \ncodecs len 4\n" + warning + "codecs = gsm\n"},
    {"empty and null values are written, mailbox as stored",
     {"_exten", "_context", "_callerid", "_mailbox", "_secret", "_alaw"},
     {{"802", "", null, "802", null, "1"}},
     "[802]\ncontext = \ncallerid = \nmailbox = 802\nsecret = \ndisallow = all\nallow = alaw\n",
     "codecs len 5\ncodecs = alaw\n"},
    {"outbound cid without underscore is this mode's skip keyword",
     {"_exten", "outbound_cid", "_outbound_cid", "_outboundcid", "context", "_alaw", "_ulaw"},
     {{"802", "1", "2", "3", "from-horn", "1", "1"}},
     "[802]\noutbound_cid = 2\noutboundcid = 3\nontext = from-horn\ndisallow = all\n"
     "allow = alaw,ulaw\n",
     "codecs len 10\ncodecs = alaw,ulaw\n"},
    {"empty table", {"_id", "_exten", "_alaw"}, {}, "", ""},
};

TEST_F(ProgramTest, HorncellFile)
{
    for (const mode_case &c : horncell_cases)
        check_mode_case("1", "users_horncell", "users_horncell.conf", c);
}

} // namespace
