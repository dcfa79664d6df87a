#include "harness.h"

namespace
{

const std::string warning = "something wrong happened to codecs selection.\n";
const cell null = std::nullopt;

const std::string webrtc_template = "[webrtc](!)\n"
                                    "srtpcapable = yes\n"
                                    "encryption = yes\n"
                                    "avpf = yes\n"
                                    "force_avp = yes\n"
                                    "icesupport = yes\n"
                                    "dtlsenable = yes\n"
                                    "dtlsverify = no\n"
                                    "dtlscertfile = /etc/asterisk/keys/asterisk.pem\n"
                                    "dtlscafile = /etc/asterisk/keys/ca.crt\n"
                                    "dtlssetup = actpass\n"
                                    "transport = ws,wss\n"
                                    "videosupport = no\n\n";

const std::vector<std::string> template_columns = {
    "_email",       "_dahdichan",  "_hasexten",     "_directmedia", "_videosupport", "_encryption",
    "_srtpcapable", "_deny",       "_permit",       "_avpf",        "_force_avp",    "_icesupport",
    "_dtlsverify",  "_dtlsenable", "_dtlscertfile", "_dtlscafile",  "_dtlssetup",
};

std::vector<std::string> with_template_columns(std::vector<std::string> columns)
{
    columns.insert(columns.end(), template_columns.begin(), template_columns.end());
    return columns;
}

std::vector<cell> with_template_values(std::vector<cell> row)
{
    row.insert(row.end(), template_columns.size(), cell("x"));
    return row;
}

const mode_case webrtc_cases[] = {
    {"empty table gives the template alone", {"_id", "_exten", "_ulaw"}, {}, webrtc_template, ""},
    {"security columns write nothing",
     {"_exten", "_dtlsenable", "_encryption", "_ulaw"},
     {{"901", "yes", "yes", "1"}},
     webrtc_template + "[901](webrtc)\ndisallow = all\nallow = ulaw\n\n",
     ""},
    {"every skip-list column is skipped, transport is not",
     with_template_columns({"_id", "_exten", "_outboundcid", "_position", "_F1", "_F2", "_F3",
                            "_F4", "_transport", "_alaw"}),
     {with_template_values({"1", "901", "c", "p", "f", "f", "f", "f", "ws", "1"})},
     webrtc_template + "[901](webrtc)\ntransport = ws\ndisallow = all\nallow = alaw\n\n",
     ""},
    {"empty secret is written, other empty values and mailbox as stored",
     {"_exten", "_secret", "_context", "_mailbox", "_outbound_cid", "_vmsecret", "_alaw", "_g722"},
     {{"901", "", "", "901", "77", null, "1", "1"}, {"902", null, null, "", "", "", "0", "0"}},
     webrtc_template + "[901](webrtc)\nsecret = \nmailbox = 901\noutbound_cid = 77\nvmsecret = \n"
                       "disallow = all\nallow = alaw,g722\n\n"
                       "[902](webrtc)\nsecret = \nvmsecret = \ndisallow = all\nallow = \n\n",
     warning},
};

TEST_F(ProgramTest, WebrtcFile)
{
    for (const mode_case &c : webrtc_cases)
        check_mode_case("2", "users_webrtc", "users_webrtc.conf", c);
}

} // namespace
