#include "peers/pjsip/sections.h"

#include <cstdio>

#include "conf/line_reader.h"
#include "conf/line_writer.h"
#include "files/output_file.h"
#include "peers/line_check.h"

namespace
{

bool fixed_host(const pjsip_row &row)
{
    return row.host_is != host_kind::dynamic;
}

// Reads the row's columns into `row`; returns the first text found that
// would break the file, as the chan_sip form would name it. A value that a
// line carries as it stands is checked on that line; one that only chooses
// what is written, on its own.
// A value reaches the option's handler as the PBX reads it, less the bytes
// below 33 at its ends; only a credential and a value that gains a suffix
// must come back whole, and are refused otherwise.
refusal gather(const std::vector<column_plan> &plan, row_view cells, const variant &v,
               pjsip_plan &pjsip, const row_naming &naming)
{
    pjsip_row &row = pjsip.row;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const column_plan &col = plan[i];
        std::string_view value = cells[i];
        if (i == pjsip.media_column) {
            row.media_line = row.lines.size();
            add_line(row, "media_encryption", {});
        }
        if (col.kind == rule_kind::codec) {
            add_codec(row.codecs, col.codec, value);
        } else if (i == naming.column) {
            if (const char *hazard = header_hazard(value, v.header_end))
                return {hazard, col.name};
            row.name = value;
        } else if (col.kind == rule_kind::setting && pjsip.columns[i] != nullptr &&
                   !value.empty()) {
            const pjsip_column &t = *pjsip.columns[i];
            const key_check &line = pjsip.value_lines[i];
            if (!line.key.empty())
                if (const char *hazard =
                        setting_hazard(line, value, mailbox_context(col, value), col.is_credential))
                    return {hazard, col.name};
            bool taken = t.translate(t, col, strip_blanks(value), row);
            // A value that only chooses what is written is, when taken, one
            // of a few words, with nothing in it that could break a line: its
            // text needs a look only when it is refused, or when any is taken.
            if (line.key.empty() && (!taken || takes_any_text(t)))
                if (const char *hazard = text_hazard(value))
                    return {hazard, col.name};
            if (!taken && row.untaken.empty()) {
                row.untaken = col.name;
                row.untaken_as = &t;
            }
        }
    }
    return {};
}

// Whether an earlier row has the row's fixed host and a port that overlaps
// its own: the PBX would take every request from there for the earlier
// row's, which is identified first, and the later phone could not
// authenticate. Otherwise the host is the row's now.
bool takes_a_host_of_an_earlier_row(const pjsip_row &row, pjsip_plan &pjsip)
{
    if (!fixed_host(row))
        return false;
    unsigned port = row.port.empty() ? 0 : static_cast<unsigned>(std::stoul(std::string(row.port)));
    std::vector<unsigned> &ports = pjsip.hosts[host_identity(row.host, row.host_is)];
    for (unsigned had : ports)
        if (had == 0 || port == 0 || had == port)
            return true;
    ports.push_back(port);
    return false;
}

// What the PBX would reject, or read otherwise, although every text is safe.
refusal check(const pjsip_row &row, const std::vector<column_plan> &plan, const row_naming &naming,
              pjsip_plan &pjsip, std::uint32_t number)
{
    std::string_view column =
        naming.column == no_column ? naming.keyword : plan[naming.column].name;
    if (!row.untaken.empty()) {
        refusal refused{"a value PJSIP does not take", row.untaken};
        refused.option = row.untaken_as->option;
        refused.takes = row.untaken_as->takes;
        return refused;
    }
    if (const char *hazard = name_hazard(peer_form::pjsip, row.name))
        return {hazard, column};
    if (takes_a_host_of_an_earlier_row(row, pjsip))
        return {"the host of an earlier row", row.host_column};
    taken_names::holder had = naming.taken.take(row.name, number);
    return {had.hazard, column, had.file};
}

// The sections write most lines whole: their text is fixed, or it is the
// row's name or host, which the checks above leave without a ';' to escape.
// A run writes some 25 lines a row, so every call saved counts.

// The fixed host, with its port when it has one. A URI takes an IPv6
// address in brackets, or its colons would read as a port; so does match,
// where a port follows it.
void put_address(output_file &out, const pjsip_row &row, bool in_uri)
{
    bool brackets = row.host_is == host_kind::ipv6 && (in_uri || !row.port.empty());
    out.put(brackets ? "[" : "");
    out.put(row.host);
    out.put(brackets ? "]" : "");
    if (!row.port.empty()) {
        out.put(":");
        out.put(row.port);
    }
}

void write_endpoint(output_file &out, const pjsip_row &row, std::string_view allowed,
                    const variant &v)
{
    put_header(out, row.name, v.header_end);
    if (v.endpoint_states_type)
        out.put("type = endpoint\n");
    for (const endpoint_line &line : row.lines)
        if (!line.value.empty())
            put_setting(out, line.key, line.value, line.suffix);
    if (!row.secret.empty() || !row.md5secret.empty()) {
        out.put("auth = ");
        out.put(row.name);
        out.put("\n");
    }
    out.put("aors = ");
    out.put(row.name);
    out.put("\ndisallow = all\n");
    // An empty allow line makes the PBX drop the endpoint.
    if (!allowed.empty()) {
        out.put("allow = ");
        out.put(allowed);
        out.put("\n");
    }
    out.put(v.section_end);
}

void write_auth(output_file &out, const pjsip_row &row, const variant &v)
{
    bool hashed = !row.md5secret.empty();
    if (!hashed && row.secret.empty())
        return; // the phone registers without a challenge
    put_header(out, row.name, "]\n");
    out.put(hashed ? "type = auth\nauth_type = md5\nusername = "
                   : "type = auth\nauth_type = userpass\nusername = ");
    out.put(row.name);
    out.put("\n");
    if (hashed)
        put_setting(out, "md5_cred", row.md5secret);
    else
        put_setting(out, "password", row.secret);
    out.put(v.section_end);
}

void write_aor(output_file &out, const pjsip_row &row, const variant &v)
{
    put_header(out, row.name, "]\n");
    out.put("type = aor\n");
    if (fixed_host(row)) {
        out.put("contact = sip:");
        out.put(row.name);
        out.put("@");
        put_address(out, row, true);
        out.put("\n");
    } else {
        out.put("max_contacts = 1\nremove_existing = yes\n");
    }
    if (row.qualifies)
        out.put("qualify_frequency = 60\n");
    out.put(v.section_end);
}

void write_identify(output_file &out, const pjsip_row &row, const variant &v)
{
    if (!fixed_host(row))
        return;
    put_header(out, row.name, "]\n");
    out.put("type = identify\nendpoint = ");
    out.put(row.name);
    out.put("\nmatch = ");
    put_address(out, row, false);
    out.put("\n");
    out.put(v.section_end);
}

} // namespace

pjsip_plan plan_pjsip(const std::vector<column_plan> &plan)
{
    pjsip_plan pjsip;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const column_plan &col = plan[i];
        const pjsip_column *t = nullptr;
        if (col.kind == rule_kind::setting) {
            t = find_translation(col.key);
            if (t == nullptr)
                std::printf("Column %.*s has no PJSIP counterpart; it is left out.\n",
                            static_cast<int>(col.name.size()), col.name.data());
            else if (sets_media_encryption(*t) && pjsip.media_column == no_column)
                pjsip.media_column = i;
        }
        pjsip.columns.push_back(t);
        std::string_view line_key = t != nullptr ? value_line_key(*t) : std::string_view();
        pjsip.value_lines.push_back(line_key.empty() ? key_check() : check_key(line_key));
    }
    return pjsip;
}

refusal write_pjsip_row(output_file &out, const std::vector<column_plan> &plan, row_view cells,
                        const variant &v, pjsip_plan &pjsip, const row_naming &naming,
                        std::uint32_t number)
{
    pjsip_row &row = pjsip.row;
    row.clear();
    refusal refused = gather(plan, cells, v, pjsip, naming);
    if (refused.hazard == nullptr)
        refused = check(row, plan, naming, pjsip, number);
    if (refused.hazard != nullptr)
        return refused;
    if (row.media_line != pjsip_row::no_line)
        row.lines[row.media_line].value = row.dtls ? "dtls" : row.sdes ? "sdes" : "";

    std::string_view allowed = finish_codecs(row.codecs, v);
    write_endpoint(out, row, allowed, v);
    write_auth(out, row, v);
    write_aor(out, row, v);
    write_identify(out, row, v);
    return {};
}
