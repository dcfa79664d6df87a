#include "peers/pjsip/columns.h"

#include <algorithm>
#include <cctype>

#include "peers/pjsip/values.h"

namespace
{

bool copy(const pjsip_column &t, const column_plan &col, std::string_view value, pjsip_row &row)
{
    if (t.accepts != nullptr && !t.accepts(value))
        return false;
    add_line(row, t.option, value, mailbox_context(col, value));
    return true;
}

bool uint32(const pjsip_column &t, const column_plan &, std::string_view value, pjsip_row &row)
{
    std::string_view written;
    if (!read_uint32(value, written))
        return false;
    add_line(row, t.option, written);
    return true;
}

bool true_or_false(const pjsip_column &t, const column_plan &, std::string_view value,
                   pjsip_row &row)
{
    truth said = read_truth(value);
    if (said == truth::neither)
        return false;
    std::string_view written = said == truth::yes ? t.if_true : t.if_false;
    if (!written.empty())
        add_line(row, t.option, written);
    return true;
}

bool one_of(const pjsip_column &t, const column_plan &, std::string_view value, pjsip_row &row)
{
    for (const word_pair *w = t.words; !w->word.empty(); ++w) {
        if (same_word(value, w->word)) {
            add_line(row, t.option, w->written);
            return true;
        }
    }
    return false;
}

bool ignore(const pjsip_column &, const column_plan &, std::string_view, pjsip_row &)
{
    return true;
}

bool host(const pjsip_column &, const column_plan &col, std::string_view value, pjsip_row &row)
{
    row.host = value;
    row.host_column = col.name;
    row.host_is = read_host(value);
    return row.host_is != host_kind::refused;
}

// A fixed host's port: the contact names it, and identify matches only
// requests from it, so that two rows of one host and other ports stay two.
bool port(const pjsip_column &, const column_plan &, std::string_view value, pjsip_row &row)
{
    row.port = value;
    return is_port(value);
}

bool secret(const pjsip_column &, const column_plan &, std::string_view value, pjsip_row &row)
{
    row.secret = value;
    return true;
}

// The PBX hashes a challenge with the credential as it is written, and
// phones hash in lower case.
bool md5secret(const pjsip_column &, const column_plan &, std::string_view value, pjsip_row &row)
{
    if (!is_md5_digest(value))
        return false;
    row.md5secret.assign(value);
    std::transform(row.md5secret.begin(), row.md5secret.end(), row.md5secret.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return true;
}

bool qualify(const pjsip_column &, const column_plan &, std::string_view value, pjsip_row &row)
{
    bool zero = is_number(value) && value.find_first_not_of('0') == std::string_view::npos;
    if (same_word(value, "yes") || (is_number(value) && !zero)) {
        row.qualifies = true;
        return true;
    }
    return same_word(value, "no") || zero;
}

// chan_sip's nat words, any of them in a comma-separated list, and the
// endpoint options that do the same. As in chan_sip, the first "yes" or
// "no" decides alone. PJSIP forces rport unless told not to, where chan_sip's
// "no" turns it off.
bool nat(const pjsip_column &, const column_plan &, std::string_view value, pjsip_row &row)
{
    bool rport = false, symmetric = false, decided = false, off = false;
    bool taken = each_word(value, [&](std::string_view word) {
        nat_word said = read_nat_word(word);
        bool yes = said == nat_word::yes, no = said == nat_word::no;
        bool forces = said == nat_word::force_rport, comedia = said == nat_word::comedia;
        if (said == nat_word::unknown)
            return false;
        if (decided)
            return true;
        if (yes || no) {
            decided = true;
            rport = symmetric = yes;
            off = no;
        }
        rport |= forces;
        symmetric |= comedia;
        return true;
    });
    if (!taken)
        return false;
    if (rport) {
        add_line(row, "force_rport", "yes");
        add_line(row, "rewrite_contact", "yes");
    }
    if (off)
        add_line(row, "force_rport", "no");
    if (symmetric)
        add_line(row, "rtp_symmetric", "yes");
    return true;
}

// Yes or no, or a comma-separated list of the ways direct media is allowed,
// each of which allows it.
bool direct_media(const pjsip_column &, const column_plan &, std::string_view value, pjsip_row &row)
{
    truth said = read_truth(value);
    if (said != truth::neither) {
        add_line(row, "direct_media", said == truth::yes ? "yes" : "no");
        return true;
    }
    bool nonat = false, update = false, outgoing = false;
    bool taken = each_word(value, [&](std::string_view word) {
        if (same_word(word, "nonat"))
            nonat = true;
        else if (same_word(word, "update"))
            update = true;
        else if (same_word(word, "outgoing"))
            outgoing = true;
        else
            return false;
        return true;
    });
    if (!taken)
        return false;
    add_line(row, "direct_media", "yes");
    if (nonat)
        add_line(row, "disable_direct_media_on_nat", "yes");
    if (update)
        add_line(row, "direct_media_method", "update");
    if (outgoing)
        add_line(row, "direct_media_glare_mitigation", "outgoing");
    return true;
}

bool read_flag(std::string_view value, bool &flag)
{
    truth said = read_truth(value);
    if (said == truth::yes)
        flag = true;
    return said != truth::neither;
}

// encryption and dtlsenable make one media_encryption line together, dtls
// winning; its place is kept where the first of the two columns stands.
bool encryption(const pjsip_column &, const column_plan &, std::string_view value, pjsip_row &row)
{
    return read_flag(value, row.sdes);
}

bool dtlsenable(const pjsip_column &, const column_plan &, std::string_view value, pjsip_row &row)
{
    return read_flag(value, row.dtls);
}

const word_pair dtmf_modes[] = {
    {"rfc2833", "rfc4733"}, {"inband", "inband"}, {"info", "info"}, {"auto", "auto"}, {}};
const word_pair session_timers[] = {
    {"accept", "yes"}, {"originate", "always"}, {"refuse", "no"}, {}};
// dtls_setup takes a word it does not know in silence and keeps its default.
const word_pair dtls_setups[] = {
    {"active", "active"}, {"passive", "passive"}, {"actpass", "actpass"}, {}};
const word_pair dtls_verifies[] = {{"yes", "yes"},
                                   {"no", "no"},
                                   {"fingerprint", "fingerprint"},
                                   {"certificate", "certificate"},
                                   {}};

const char yes_or_no[] = "yes or no";
const char any_text[] = "any text";
const char groups[] = "groups from 0 to 63 and ranges N-M of them, separated by commas";
const char group_names[] = "names separated by commas";
const char acl[] = "addresses, each with an optional /mask, separated by commas alone";
const char readable_file[] = "the absolute path of a file that this run can read";

// Every column the PJSIP form writes.
const pjsip_column pjsip_columns[] = {
    {"type", ignore, {}, any_text}, // every row gets all its sections whatever its type
    {"host", host, {}, "dynamic, or one IPv4 or IPv6 address or host name"},
    {"port", port, {}, "a port number from 1 to 65535"},
    {"secret", secret, {}, any_text},
    {"md5secret", md5secret, {}, "32 hexadecimal digits"},
    {"context", copy, "context", any_text},
    {"callerid", copy, "callerid", "a name and a number of at most 79 bytes each", keeps_callerid},
    {"language", copy, "language", any_text},
    {"accountcode", copy, "accountcode", any_text},
    {"mailbox", copy, "mailboxes", any_text},
    {"fromuser", copy, "from_user", "letters, digits and -._~%!$&'()*+,;=:", is_from_user},
    {"fromdomain", copy, "from_domain", any_text},
    {"callgroup", copy, "call_group", groups, is_group_list},
    {"pickupgroup", copy, "pickup_group", groups, is_group_list},
    {"namedcallgroup", copy, "named_call_group", group_names, is_named_group_list},
    {"namedpickupgroup", copy, "named_pickup_group", group_names, is_named_group_list},
    {"deny", copy, "deny", acl, is_acl_list},
    {"permit", copy, "permit", acl, is_acl_list},
    {"nat", nat, {}, "yes, no, never, force_rport, comedia, auto_force_rport or auto_comedia"},
    {"qualify", qualify, {}, "yes, no or a number of milliseconds"},
    {"dtmfmode", one_of, "dtmf_mode", "rfc2833, inband, info or auto", nullptr, {}, {}, dtmf_modes},
    {"directmedia", direct_media, {}, "yes, no, or nonat, update and outgoing"},
    {"canreinvite", direct_media, {}, "yes, no, or nonat, update and outgoing"},
    {"encryption", encryption, {}, yes_or_no},
    {"dtlsenable", dtlsenable, {}, yes_or_no},
    {"avpf", true_or_false, "use_avpf", yes_or_no, nullptr, "yes", "no"},
    {"force_avp", true_or_false, "force_avp", yes_or_no, nullptr, "yes", "no"},
    {"icesupport", true_or_false, "ice_support", yes_or_no, nullptr, "yes", "no"},
    {"rtp_symmetric", true_or_false, "rtp_symmetric", yes_or_no, nullptr, "yes", "no"},
    {"dtlsverify",
     one_of,
     "dtls_verify",
     "yes, no, fingerprint or certificate",
     nullptr,
     {},
     {},
     dtls_verifies},
    {"dtlscertfile", copy, "dtls_cert_file", readable_file, is_readable_file},
    {"dtlscafile", copy, "dtls_ca_file", readable_file, is_readable_file},
    {"dtlssetup", one_of, "dtls_setup", "active, passive or actpass", nullptr, {}, {}, dtls_setups},
    {"session-timers",
     one_of,
     "timers",
     "accept, originate or refuse",
     nullptr,
     {},
     {},
     session_timers},
    {"t38pt_udptl", true_or_false, "t38_udptl", yes_or_no, nullptr, "yes", "no"},
    {"busylevel", uint32, "device_state_busy_at", "a number from 0 to 4294967295"},
    {"videosupport", true_or_false, "max_video_streams", yes_or_no, nullptr, {}, "0"},
};

} // namespace

void pjsip_row::clear()
{
    name = secret = host = port = host_column = untaken = {};
    untaken_as = nullptr;
    lines.clear();
    md5secret.clear();
    host_is = host_kind::dynamic;
    qualifies = dtls = sdes = false;
    media_line = no_line;
    codecs.clear();
}

const pjsip_column *find_translation(std::string_view key)
{
    for (const pjsip_column &t : pjsip_columns)
        if (same_word(key, t.column))
            return &t;
    return nullptr;
}

bool sets_media_encryption(const pjsip_column &t)
{
    return t.translate == encryption || t.translate == dtlsenable;
}

bool takes_any_text(const pjsip_column &t)
{
    return t.translate == ignore;
}

std::string_view value_line_key(const pjsip_column &t)
{
    if (t.translate == copy)
        return t.option;
    if (t.translate == secret)
        return "password";
    if (t.translate == md5secret)
        return "md5_cred";
    if (t.translate == host)
        return "match";
    return {};
}
