#include "harness.h"

#include <sys/stat.h>

namespace
{

const std::string warning = "something wrong happened to codecs selection.\n";
const cell null = std::nullopt;

std::string left_out(const std::string &column)
{
    return "Column " + column + " has no PJSIP counterpart; it is left out.\n";
}

// The sections of a row without secret, host or codecs, in modes 0 and 1.
std::string bare(const std::string &name, const std::string &options = "")
{
    return "[" + name + "]\ntype = endpoint\n" + options + "aors = " + name +
           "\ndisallow = all\n[" + name +
           "]\ntype = aor\nmax_contacts = 1\nremove_existing = yes\n";
}

const mode_case extension_cases[] = {
    {"auth, aor and identify; the chan_sip words translated",
     {"_id", "_exten", "_type", "_secret", "_md5secret", "_vmsecret", "_context", "_callerid",
      "_mailbox", "_host", "_nat", "_qualify", "_dtmfmode", "_alaw", "_ulaw", "_g729"},
     {{"1", "801", "friend", "k3y;803", "", "1234", "from-internal", "A;B", "801", "dynamic", "yes",
       "yes", "rfc2833", "1", "1", "0"},
      {"2", "802", "peer", "", null, "", "ctx", "", "802@office", "10.0.0.2", "force_rport,comedia",
       "0", "INFO", "0", "0", "0"},
      {"3", "803", null, "x", "0123456789ABCDEF0123456789abcdef", null, null, null, null,
       "2001:DB8::5", "no", "2000", "inband", "1", "", "0"}},
     "[801]\ntype = endpoint\ncontext = from-internal\ncallerid = A\\;B\nmailboxes = 801@default\n"
     "force_rport = yes\nrewrite_contact = yes\nrtp_symmetric = yes\ndtmf_mode = rfc4733\n"
     "auth = 801\naors = 801\ndisallow = all\nallow = alaw,ulaw\n"
     "[801]\ntype = auth\nauth_type = userpass\nusername = 801\npassword = k3y\\;803\n"
     "[801]\ntype = aor\nmax_contacts = 1\nremove_existing = yes\nqualify_frequency = 60\n"
     "[802]\ntype = endpoint\ncontext = ctx\nmailboxes = 802@office\nforce_rport = yes\n"
     "rewrite_contact = yes\nrtp_symmetric = yes\ndtmf_mode = info\naors = 802\ndisallow = all\n"
     "[802]\ntype = aor\ncontact = sip:802@10.0.0.2\n"
     "[802]\ntype = identify\nendpoint = 802\nmatch = 10.0.0.2\n"
     "[803]\ntype = endpoint\nforce_rport = no\ndtmf_mode = inband\nauth = 803\naors = 803\n"
     "disallow = all\nallow = alaw,ulaw\n"
     "[803]\ntype = auth\nauth_type = md5\nusername = 803\n"
     "md5_cred = 0123456789abcdef0123456789abcdef\n"
     "[803]\ntype = aor\ncontact = sip:803@[2001:DB8::5]\nqualify_frequency = 60\n"
     "[803]\ntype = identify\nendpoint = 803\nmatch = 2001:DB8::5\n",
     left_out("_vmsecret") + warning},
    {"true/false words, media encryption where the first of its columns stands",
     {"_exten", "_encryption", "_fromuser", "_dtlsenable", "_directmedia", "_session-timers",
      "_t38pt_udptl", "_busylevel", "_videosupport", "_avpf", "_canreinvite"},
     {{"801", "yes", "u1", "no", "no", "accept", "yes", "002", "yes", "On", null},
      {"802", "no", "", "TRUE", "outgoing,nonat", "originate", "n", "4294967295", "no", "0",
       "update"},
      {"803", "NO", "", "", "Y", "refuse", "", "", "", "", ""}},
     bare("801", "media_encryption = sdes\nfrom_user = u1\ndirect_media = no\ntimers = yes\n"
                 "t38_udptl = yes\ndevice_state_busy_at = 2\nuse_avpf = yes\n") +
         bare("802", "media_encryption = dtls\ndirect_media = yes\n"
                     "disable_direct_media_on_nat = yes\ndirect_media_glare_mitigation = "
                     "outgoing\ntimers = always\nt38_udptl = no\n"
                     "device_state_busy_at = 4294967295\nmax_video_streams = 0\n"
                     "use_avpf = no\ndirect_media = yes\ndirect_media_method = update\n") +
         bare("803", "direct_media = yes\ntimers = no\n"),
     warning + warning + warning},
};

const std::string no_codecs = "codecs len 0\n" + warning + "codecs = \n";

// Key files that the DTLS options name; the PBX drops an endpoint that
// names one it cannot read.
const std::string keys_dir = std::string(TEST_CONFIG_DIR) + "-keys";
const std::string cert_file = keys_dir + "/c.pem", ca_file = keys_dir + "/ca.crt";

const mode_case horncell_cases[] = {
    {"every option name of the table",
     {"_exten", "_language", "_accountcode", "_fromdomain", "_callgroup", "_pickupgroup",
      "_namedcallgroup", "_namedpickupgroup", "_deny", "_permit", "_dtlsverify", "_dtlscertfile",
      "_dtlscafile", "_dtlssetup", "_icesupport", "_force_avp", "_rtp_symmetric", "_nat",
      "_qualify"},
     {{"7001", "fr", "acc", "example.org", "1", "2", "a", "b", "0.0.0.0/0", "10.0.0.0/8", "no",
       cert_file, ca_file, "actpass", "yes", "true", "off", "auto_force_rport,auto_comedia", "no"},
      {"7002", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "never", "0"},
      {"7003", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "comedia, no", ""},
      {"7004", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "yes,NO", ""}},
     bare("7001", "language = fr\naccountcode = acc\nfrom_domain = example.org\ncall_group = 1\n"
                  "pickup_group = 2\nnamed_call_group = a\nnamed_pickup_group = b\n"
                  "deny = 0.0.0.0/0\npermit = 10.0.0.0/8\ndtls_verify = no\n"
                  "dtls_cert_file = " +
                      cert_file + "\ndtls_ca_file = " + ca_file +
                      "\ndtls_setup = actpass\n"
                      "ice_support = yes\nforce_avp = yes\nrtp_symmetric = no\nforce_rport = yes\n"
                      "rewrite_contact = yes\nrtp_symmetric = yes\n") +
         bare("7002", "force_rport = no\n") + bare("7003", "force_rport = no\n") +
         bare("7004", "force_rport = yes\nrewrite_contact = yes\nrtp_symmetric = yes\n"),
     no_codecs + no_codecs + no_codecs + no_codecs},
    {"a codec column named by a leading part writes the codec's own name",
     {"_exten", "_AL", "_g7", "_h263P"},
     {{"6101", "1", "", "1"}},
     "[6101]\ntype = endpoint\naors = 6101\ndisallow = all\nallow = alaw,g729,h263p\n"
     "[6101]\ntype = aor\nmax_contacts = 1\nremove_existing = yes\n",
     "codecs len 16\ncodecs = alaw,g729,h263p\n"},
    {"lists that res_pjsip's handlers take as meant",
     {"_exten", "_callgroup", "_pickupgroup", "_deny", "_permit", "_namedpickupgroup"},
     {{"6102", "1, 3-5", "07", "!10.0.0.1,10.0.0.0/8,2001:db8::/32", "192.168.0.0/255.255.0.0",
       "a, ,b"}},
     bare("6102", "call_group = 1, 3-5\npickup_group = 07\n"
                  "deny = !10.0.0.1,10.0.0.0/8,2001:db8::/32\npermit = 192.168.0.0/255.255.0.0\n"
                  "named_pickup_group = a, ,b\n"),
     no_codecs},
    {"a port tells the rows of one fixed host apart",
     {"_exten", "_host", "_port"},
     {{"7101", "10.0.0.9", "5061"}, {"7102", "10.0.0.9", "5062"}, {"7103", "2001:db8::7", "5060"}},
     "[7101]\ntype = endpoint\naors = 7101\ndisallow = all\n[7101]\ntype = aor\n"
     "contact = sip:7101@10.0.0.9:5061\n[7101]\ntype = identify\nendpoint = 7101\n"
     "match = 10.0.0.9:5061\n"
     "[7102]\ntype = endpoint\naors = 7102\ndisallow = all\n[7102]\ntype = aor\n"
     "contact = sip:7102@10.0.0.9:5062\n[7102]\ntype = identify\nendpoint = 7102\n"
     "match = 10.0.0.9:5062\n"
     "[7103]\ntype = endpoint\naors = 7103\ndisallow = all\n[7103]\ntype = aor\n"
     "contact = sip:7103@[2001:db8::7]:5060\n[7103]\ntype = identify\nendpoint = 7103\n"
     "match = [2001:db8::7]:5060\n",
     no_codecs + no_codecs + no_codecs},
    {"empty values write nothing; codec traces as in chan_sip",
     {"_exten", "_context", "_secret", "_callerid", "_alaw", "outbound_cid", "_transport"},
     {{"6001", "", "pw", null, "1", "x", "udp"}},
     "[6001]\ntype = endpoint\nauth = 6001\naors = 6001\ndisallow = all\nallow = alaw\n"
     "[6001]\ntype = auth\nauth_type = userpass\nusername = 6001\npassword = pw\n"
     "[6001]\ntype = aor\nmax_contacts = 1\nremove_existing = yes\n",
     left_out("_transport") + "codecs len 5\ncodecs = alaw\n"},
};

const std::string webrtc_template = "[webrtc](!)\n"
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

const mode_case webrtc_cases[] = {
    {"empty table gives the template alone", {"_exten", "_ulaw"}, {}, webrtc_template, ""},
    {"the endpoint inherits the template, every section ends with a blank line",
     {"_exten", "_secret", "_host", "_alaw", "_transport", "_avpf"},
     {{"901", "s", "web.example.org", "1", "wss", "no"}},
     webrtc_template + "[901](webrtc)\nauth = 901\naors = 901\ndisallow = all\nallow = alaw\n\n"
                       "[901]\ntype = auth\nauth_type = userpass\nusername = 901\npassword = s\n\n"
                       "[901]\ntype = aor\ncontact = sip:901@web.example.org\n\n"
                       "[901]\ntype = identify\nendpoint = 901\nmatch = web.example.org\n\n",
     left_out("_transport")},
};

// Each mode's cases in a directory of their own.
template <std::size_t N>
void check_pjsip_cases(const char *arg, const char *table, const mode_case (&cases)[N])
{
    clear_config_dir();
    write_good_settings("driver = PJSIP\n");
    for (const mode_case &c : cases)
        check_mode_case(arg, table, (std::string(table) + ".conf").c_str(), c);
}

TEST_F(ProgramTest, PjsipFiles)
{
    mkdir(keys_dir.c_str(), 0700);
    write_file(cert_file, "cert");
    write_file(ca_file, "ca");
    check_pjsip_cases("0", "users_extension", extension_cases);
    check_pjsip_cases("1", "users_horncell", horncell_cases);
    check_pjsip_cases("2", "users_webrtc", webrtc_cases);
}

} // namespace
