#include "peers/pjsip.h"

#include <cstdio>

#include "peers/conf_lines.h"
#include "peers/output_file.h"
#include "peers/unsafe_text.h"

namespace
{

bool fixed_host(const pjsip_row &row)
{
    return row.host_is != host_kind::dynamic;
}

// Checks the text of a setting column that PJSIP translates: the line that
// carries its value as it stands, or the value alone where it only chooses
// what is written.
const char *value_hazard(const pjsip_plan &pjsip, std::size_t i, const column_plan &col,
                         std::string_view value)
{
    if (value_line_key(*pjsip.columns[i]) == nullptr)
        return text_hazard(value);
    return setting_hazard(pjsip.value_lines[i], value, mailbox_context(col, value).size());
}

// Reads the row's columns into `row`; returns the first text found that
// would break the file, as the chan_sip form would name it.
refusal gather(const std::vector<column_plan> &plan, row_view cells, const variant &v,
               pjsip_plan &pjsip)
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
            add_codec(row.codecs, col, value);
        } else if (col.kind == rule_kind::header && row.name_column.empty()) {
            if (const char *hazard = header_hazard(value, v.header_end))
                return {hazard, col.name};
            row.name = value;
            row.name_column = col.name;
        } else if (col.kind == rule_kind::setting && pjsip.columns[i] != nullptr &&
                   !value.empty()) {
            if (const char *hazard = value_hazard(pjsip, i, col, value))
                return {hazard, col.name};
            const pjsip_column &t = *pjsip.columns[i];
            if (!t.translate(t, col, value, row) && row.untaken.empty())
                row.untaken = col.name;
        }
    }
    return {};
}

// What the PBX would reject, or read otherwise, although every text is safe.
refusal check(const pjsip_row &row, const pjsip_plan &pjsip)
{
    std::string_view column = row.name_column.empty() ? pjsip.name_keyword : row.name_column;
    if (!row.untaken.empty())
        return {"a value PJSIP does not take", row.untaken};
    if (row.name.empty())
        return {"an empty name", column};
    if (!pjsip_keeps_name(row.name))
        return {"a name PJSIP would change", column};
    // Two objects of one type and name make the PBX reject every object of
    // the file; the three files count as one.
    auto taken = pjsip.taken.find(row.name);
    if (taken == pjsip.taken.end())
        return {};
    if (taken->second == nullptr)
        return {"the name of an earlier row", column};
    return {"the name of a row in", column, *taken->second};
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

// A URI takes an IPv6 address in brackets, or its colons would read as a port.
void make_contact(pjsip_row &row)
{
    bool ipv6 = row.host_is == host_kind::ipv6;
    row.contact.assign("sip:").append(row.name).append(ipv6 ? "@[" : "@");
    row.contact.append(row.host).append(ipv6 ? "]" : "");
}

void write_aor(output_file &out, pjsip_row &row, const variant &v)
{
    put_header(out, row.name, "]\n");
    put_setting(out, "type", "aor");
    if (fixed_host(row)) {
        make_contact(row);
        put_setting(out, "contact", row.contact);
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
    if (!fixed_host(row))
        return;
    put_header(out, row.name, "]\n");
    put_setting(out, "type", "identify");
    put_setting(out, "endpoint", row.name);
    put_setting(out, "match", row.host);
    out.put(v.section_end);
}

} // namespace

pjsip_plan plan_pjsip(const std::vector<column_plan> &plan, const rule_chain &chain,
                      const std::vector<section_names> &elsewhere)
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
        const char *line_key = t != nullptr ? value_line_key(*t) : nullptr;
        pjsip.value_lines.push_back(line_key != nullptr ? check_key(line_key) : key_check{});
    }
    std::size_t names = 0;
    for (const section_names &file : elsewhere)
        names += file.names.size();
    pjsip.taken.reserve(names);
    for (const section_names &file : elsewhere)
        for (std::string_view name : file.names)
            pjsip.taken.emplace(name, &file.path);
    return pjsip;
}

refusal write_pjsip_row(output_file &out, const std::vector<column_plan> &plan, row_view cells,
                        const variant &v, pjsip_plan &pjsip)
{
    pjsip_row &row = pjsip.row;
    row.clear();
    refusal refused = gather(plan, cells, v, pjsip);
    if (refused.hazard == nullptr)
        refused = check(row, pjsip);
    if (refused.hazard != nullptr)
        return refused;
    pjsip.taken.emplace(row.name, nullptr);
    if (row.media_line != pjsip_row::no_line)
        row.lines[row.media_line].value = row.dtls ? "dtls" : row.sdes ? "sdes" : "";

    std::string_view allowed = finish_codecs(row.codecs, v);
    write_endpoint(out, row, allowed, v);
    write_auth(out, row, v);
    write_aor(out, row, v);
    write_identify(out, row, v);
    return {};
}
