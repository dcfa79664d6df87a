#include "peers/pjsip.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "peers/conf_lines.h"
#include "peers/output_file.h"
#include "peers/unsafe_text.h"

namespace
{

// One line of the endpoint section, the value written with `suffix`.
struct endpoint_line {
    std::string_view key, value, suffix;
};

constexpr std::size_t no_line = -1;

// What one row's sections are made of, gathered from its columns before
// anything is written: the endpoint's name may come after its options.
struct pjsip_row {
    std::string_view name;
    std::string_view name_column; // the header column, empty when the row has none
    std::vector<endpoint_line> lines;
    std::string_view secret, md5secret, host;
    bool qualifies = false;           // the aor checks that the phone is there
    bool dtls = false;                // dtlsenable is true
    bool sdes = false;                // encryption is true
    std::size_t media_line = no_line; // lines[media_line] is media_encryption
    std::string codecs;               // as in the chan_sip form
    std::string_view untaken;         // the first column whose value PJSIP does not take
};

// Turns one non-empty value into endpoint lines or into what the other
// sections need; false for a value that the PBX would not take.
using translator = bool (*)(const pjsip_column &, const column_plan &, std::string_view value,
                            pjsip_row &);

struct word_pair {
    const char *word, *written;
};

} // namespace

struct pjsip_column {
    const char *column; // the column's key, that is its name less the first character
    translator translate;
    const char *option = nullptr;     // the endpoint option it writes
    const char *if_true = nullptr;    // a true/false column's value for true; null: no line
    const char *if_false = nullptr;   // and for false
    const word_pair *words = nullptr; // a column of words: each word and what it writes
};

namespace
{

bool same_word(std::string_view text, const char *word)
{
    return text.size() == std::strlen(word) && strncasecmp(text.data(), word, text.size()) == 0;
}

bool is_number(std::string_view text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

enum class truth { yes, no, neither };

// True and false as the PBX reads them.
truth read_truth(std::string_view value)
{
    for (const char *word : {"yes", "true", "on", "1", "y", "t"})
        if (same_word(value, word))
            return truth::yes;
    for (const char *word : {"no", "false", "off", "0", "n", "f"})
        if (same_word(value, word))
            return truth::no;
    return truth::neither;
}

// Calls `take` with each word of a comma-separated list, blanks around it
// cut; false as soon as `take` refuses one.
template <typename F> bool each_word(std::string_view list, F take)
{
    for (;;) {
        std::size_t comma = list.find(',');
        std::string_view word = list.substr(0, comma);
        std::size_t first = word.find_first_not_of(" \t");
        word = first == std::string_view::npos
                   ? std::string_view()
                   : word.substr(first, word.find_last_not_of(" \t") - first + 1);
        if (!take(word))
            return false;
        if (comma == std::string_view::npos)
            return true;
        list.remove_prefix(comma + 1);
    }
}

void add_line(pjsip_row &row, std::string_view key, std::string_view value,
              std::string_view suffix = {})
{
    row.lines.push_back({key, value, suffix});
}

bool copy(const pjsip_column &t, const column_plan &col, std::string_view value, pjsip_row &row)
{
    add_line(row, t.option, value, mailbox_context(col, value));
    return true;
}

bool number(const pjsip_column &t, const column_plan &, std::string_view value, pjsip_row &row)
{
    if (!is_number(value))
        return false;
    add_line(row, t.option, value);
    return true;
}

bool true_or_false(const pjsip_column &t, const column_plan &, std::string_view value,
                   pjsip_row &row)
{
    truth said = read_truth(value);
    if (said == truth::neither)
        return false;
    if (const char *written = said == truth::yes ? t.if_true : t.if_false)
        add_line(row, t.option, written);
    return true;
}

bool one_of(const pjsip_column &t, const column_plan &, std::string_view value, pjsip_row &row)
{
    for (const word_pair *w = t.words; w->word != nullptr; ++w) {
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

bool host(const pjsip_column &, const column_plan &, std::string_view value, pjsip_row &row)
{
    row.host = value;
    return true;
}

bool secret(const pjsip_column &, const column_plan &, std::string_view value, pjsip_row &row)
{
    row.secret = value;
    return true;
}

bool md5secret(const pjsip_column &, const column_plan &, std::string_view value, pjsip_row &row)
{
    row.md5secret = value;
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
// endpoint options that do the same.
bool nat(const pjsip_column &, const column_plan &, std::string_view value, pjsip_row &row)
{
    bool rport = false, symmetric = false;
    bool taken = each_word(value, [&](std::string_view word) {
        if (same_word(word, "yes"))
            rport = symmetric = true;
        else if (same_word(word, "force_rport") || same_word(word, "auto_force_rport"))
            rport = true;
        else if (same_word(word, "comedia") || same_word(word, "auto_comedia"))
            symmetric = true;
        else
            return same_word(word, "no") || same_word(word, "never");
        return true;
    });
    if (!taken)
        return false;
    if (rport) {
        add_line(row, "force_rport", "yes");
        add_line(row, "rewrite_contact", "yes");
    }
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

bool sets_media_encryption(const pjsip_column &t)
{
    return t.translate == encryption || t.translate == dtlsenable;
}

const word_pair dtmf_modes[] = {
    {"rfc2833", "rfc4733"}, {"inband", "inband"}, {"info", "info"}, {"auto", "auto"}, {}};
const word_pair session_timers[] = {
    {"accept", "yes"}, {"originate", "always"}, {"refuse", "no"}, {}};

// Every column the PJSIP form writes, found by its key in any letter case.
const pjsip_column pjsip_columns[] = {
    {"type", ignore}, // every row gets all its sections whatever its type
    {"host", host},
    {"secret", secret},
    {"md5secret", md5secret},
    {"context", copy, "context"},
    {"callerid", copy, "callerid"},
    {"language", copy, "language"},
    {"accountcode", copy, "accountcode"},
    {"mailbox", copy, "mailboxes"},
    {"fromuser", copy, "from_user"},
    {"fromdomain", copy, "from_domain"},
    {"callgroup", copy, "call_group"},
    {"pickupgroup", copy, "pickup_group"},
    {"namedcallgroup", copy, "named_call_group"},
    {"namedpickupgroup", copy, "named_pickup_group"},
    {"deny", copy, "deny"},
    {"permit", copy, "permit"},
    {"nat", nat},
    {"qualify", qualify},
    {"dtmfmode", one_of, "dtmf_mode", nullptr, nullptr, dtmf_modes},
    {"directmedia", direct_media},
    {"canreinvite", direct_media},
    {"encryption", encryption},
    {"dtlsenable", dtlsenable},
    {"avpf", true_or_false, "use_avpf", "yes", "no"},
    {"force_avp", true_or_false, "force_avp", "yes", "no"},
    {"icesupport", true_or_false, "ice_support", "yes", "no"},
    {"rtp_symmetric", true_or_false, "rtp_symmetric", "yes", "no"},
    {"dtlsverify", copy, "dtls_verify"},
    {"dtlscertfile", copy, "dtls_cert_file"},
    {"dtlscafile", copy, "dtls_ca_file"},
    {"dtlssetup", copy, "dtls_setup"},
    {"session-timers", one_of, "timers", nullptr, nullptr, session_timers},
    {"t38pt_udptl", true_or_false, "t38_udptl", "yes", "no"},
    {"busylevel", number, "device_state_busy_at"},
    {"videosupport", true_or_false, "max_video_streams", nullptr, "0"},
};

const pjsip_column *find_translation(std::string_view key)
{
    for (const pjsip_column &t : pjsip_columns)
        if (same_word(key, t.column))
            return &t;
    return nullptr;
}

bool fixed_host(std::string_view host)
{
    return !host.empty() && !same_word(host, "dynamic");
}

// Reads the row's columns into `row`; returns the first unsafe text found,
// as the chan_sip form would name it.
refusal gather(const std::vector<column_plan> &plan, row_view cells, const pjsip_plan &pjsip,
               pjsip_row &row)
{
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const column_plan &col = plan[i];
        std::string_view value = cells[i];
        if (i == pjsip.media_column) {
            row.media_line = row.lines.size();
            add_line(row, "media_encryption", {});
        }
        if (col.kind == rule_kind::codec) {
            add_codec(row.codecs, col, value);
        } else if (col.kind == rule_kind::header && row.name_column.empty()) {
            if (const char *hazard = header_hazard(value))
                return {hazard, col.name};
            row.name = value;
            row.name_column = col.name;
        } else if (col.kind == rule_kind::setting && pjsip.columns[i] != nullptr &&
                   !value.empty()) {
            if (const char *hazard = setting_hazard(col.key_safety, value))
                return {hazard, col.name};
            const pjsip_column &t = *pjsip.columns[i];
            if (!t.translate(t, col, value, row) && row.untaken.empty())
                row.untaken = col.name;
        }
    }
    return {};
}

// What the PBX would reject although every text is safe.
refusal check(const pjsip_row &row, const pjsip_plan &pjsip)
{
    std::string_view column = row.name_column.empty() ? pjsip.name_keyword : row.name_column;
    if (!row.untaken.empty())
        return {"a value PJSIP does not take", row.untaken};
    // Two objects of one type and name make the PBX reject every endpoint
    // of the file.
    if (row.name.empty())
        return {"an empty name", column};
    if (pjsip.names.count(std::string(row.name)) != 0)
        return {"the name of an earlier row", column};
    return {};
}

void write_endpoint(output_file &out, const pjsip_row &row, std::string_view allowed,
                    const variant &v)
{
    put_header(out, row.name, v.header_end);
    if (v.endpoint_states_type)
        put_setting(out, "type", "endpoint");
    for (const endpoint_line &line : row.lines)
        if (!line.value.empty())
            put_setting(out, line.key, line.value, line.suffix);
    if (!row.secret.empty() || !row.md5secret.empty())
        put_setting(out, "auth", row.name);
    put_setting(out, "aors", row.name);
    put_setting(out, "disallow", "all");
    // An empty allow line makes the PBX drop the endpoint.
    if (!allowed.empty())
        put_setting(out, "allow", allowed);
    out.put(v.section_end);
}

void write_auth(output_file &out, const pjsip_row &row, const variant &v)
{
    bool hashed = !row.md5secret.empty();
    if (!hashed && row.secret.empty())
        return; // the phone registers without a challenge
    put_header(out, row.name, "]\n");
    put_setting(out, "type", "auth");
    put_setting(out, "auth_type", hashed ? "md5" : "userpass");
    put_setting(out, "username", row.name);
    if (hashed)
        put_setting(out, "md5_cred", row.md5secret);
    else
        put_setting(out, "password", row.secret);
    out.put(v.section_end);
}

void write_aor(output_file &out, const pjsip_row &row, const variant &v)
{
    put_header(out, row.name, "]\n");
    put_setting(out, "type", "aor");
    if (fixed_host(row.host)) {
        put_setting(out, "contact", "sip:" + std::string(row.name) + "@" + std::string(row.host));
    } else {
        put_setting(out, "max_contacts", "1");
        put_setting(out, "remove_existing", "yes");
    }
    if (row.qualifies)
        put_setting(out, "qualify_frequency", "60");
    out.put(v.section_end);
}

void write_identify(output_file &out, const pjsip_row &row, const variant &v)
{
    if (!fixed_host(row.host))
        return;
    put_header(out, row.name, "]\n");
    put_setting(out, "type", "identify");
    put_setting(out, "endpoint", row.name);
    put_setting(out, "match", row.host);
    out.put(v.section_end);
}

} // namespace

pjsip_plan plan_pjsip(const std::vector<column_plan> &plan, const rule_chain &chain)
{
    pjsip_plan pjsip;
    for (const rule &r : chain) {
        if (r.kind == rule_kind::header) {
            pjsip.name_keyword = r.keyword;
            break;
        }
    }
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const column_plan &col = plan[i];
        const pjsip_column *t = nullptr;
        if (col.kind == rule_kind::setting) {
            t = find_translation(col.key);
            if (t == nullptr)
                std::printf("Column %.*s has no PJSIP counterpart; it is left out.\n",
                            static_cast<int>(col.name.size()), col.name.data());
            else if (sets_media_encryption(*t) && pjsip.media_column == pjsip_plan::no_column)
                pjsip.media_column = i;
        }
        pjsip.columns.push_back(t);
    }
    return pjsip;
}

refusal write_pjsip_row(output_file &out, const std::vector<column_plan> &plan, row_view cells,
                        const variant &v, pjsip_plan &pjsip)
{
    pjsip_row row;
    refusal refused = gather(plan, cells, pjsip, row);
    if (refused.hazard == nullptr)
        refused = check(row, pjsip);
    if (refused.hazard != nullptr)
        return refused;
    pjsip.names.emplace(row.name);
    if (row.media_line != no_line)
        row.lines[row.media_line].value = row.dtls ? "dtls" : row.sdes ? "sdes" : "";

    std::string_view allowed = finish_codecs(row.codecs, v);
    write_endpoint(out, row, allowed, v);
    write_auth(out, row, v);
    write_aor(out, row, v);
    write_identify(out, row, v);
    return {};
}
