#include "peers/peer_file.h"

namespace
{

// Browser endpoints. Every section inherits media security, transport and
// video settings from the template at the top of the file; the table's
// columns for those settings are skipped so the template's values hold.
const char webrtc_template[] = "[webrtc](!)\n"
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

// The same template for PJSIP. Only the endpoint inherits it, so it also
// carries the endpoint's type; auth and aor sections are written plain.
const char webrtc_pjsip_template[] = "[webrtc](!)\n"
                                     "type = endpoint\n"
                                     "media_encryption = dtls\n"
                                     "use_avpf = yes\n"
                                     "force_avp = yes\n"
                                     "ice_support = yes\n"
                                     "dtls_verify = no\n"
                                     "dtls_cert_file = /etc/asterisk/keys/asterisk.pem\n"
                                     "dtls_ca_file = /etc/asterisk/keys/ca.crt\n"
                                     "dtls_setup = actpass\n"
                                     "rtcp_mux = yes\n"
                                     "media_use_received_transport = yes\n"
                                     "max_video_streams = 0\n\n";

} // namespace

const peer_mode webrtc_mode = {
    "SELECT * from users_webrtc order by _exten asc",
    "users_webrtc.conf",
    false,
    "cannot open %s file,please check.\n",
    webrtc_template,
    webrtc_pjsip_template,
    with_codecs({
        {"_id", rule_kind::skip},           {"_exten", rule_kind::header},
        {"_outboundcid", rule_kind::skip},  {"_position", rule_kind::skip},
        {"_F1", rule_kind::skip},           {"_F2", rule_kind::skip},
        {"_F3", rule_kind::skip},           {"_F4", rule_kind::skip},
        {"_email", rule_kind::skip},        {"_dahdichan", rule_kind::skip},
        {"_hasexten", rule_kind::skip},     {"_directmedia", rule_kind::skip},
        {"_videosupport", rule_kind::skip}, {"_encryption", rule_kind::skip},
        {"_srtpcapable", rule_kind::skip},  {"_deny", rule_kind::skip},
        {"_permit", rule_kind::skip},       {"_avpf", rule_kind::skip},
        {"_force_avp", rule_kind::skip},    {"_icesupport", rule_kind::skip},
        {"_dtlsverify", rule_kind::skip},   {"_dtlsenable", rule_kind::skip},
        {"_dtlscertfile", rule_kind::skip}, {"_dtlscafile", rule_kind::skip},
        {"_dtlssetup", rule_kind::skip},
    }),
    {"](webrtc)\n", "\n\n", true, false, false, false, "\n"},
};

int write_webrtc_file(const output_settings &where)
{
    return write_peer_file(webrtc_mode, where);
}
