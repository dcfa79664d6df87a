#include "peers/sip.h"

#include <string>

#include "conf/line_writer.h"
#include "files/output_file.h"
#include "peers/line_check.h"

namespace
{

// Whether the column writes a setting line for `value`.
bool writes_line(const column_plan &col, std::string_view value)
{
    return col.kind == rule_kind::setting && (!value.empty() || col.keeps_empty);
}

// Why the line of setting column `col` would not reach the PBX as the table
// means it, or nothing; `suffix` is what follows the value.
refusal check_line(const column_plan &col, std::string_view value, std::string_view suffix)
{
    const char *hazard = setting_hazard(col.key_safety, value, suffix, col.is_credential);
    if (hazard == nullptr)
        return {};
    refusal refused{hazard, col.name};
    refused.in_name = hazard == setting_hazard(col.key_safety, {});
    return refused;
}

// Why the row may not take its name, or nothing; it is the row's after.
refusal check_name(std::string_view column, std::string_view name, taken_names &taken,
                   std::uint32_t row)
{
    if (const char *hazard = name_hazard(peer_form::sip, name))
        return {hazard, column};
    taken_names::holder had = taken.take(name, row);
    return {had.hazard, column, had.file};
}

} // namespace

// One pass writes the row, the header first. So that a refusal names the
// first column in column order that holds a hazard, the columns before the
// header column are looked at before the header is written; those after it
// as they are written. The name is taken last, once every line is known to
// be sound.
refusal write_sip_row(output_file &out, const std::vector<column_plan> &plan, row_view cells,
                      const variant &v, const row_naming &naming, std::uint32_t row)
{
    // Without a header, the row's lines would fall in whatever section came
    // before: another row's, or the one that includes the file.
    std::size_t name_at = naming.column;
    if (name_at == no_column)
        return {"an empty name", naming.keyword};
    for (std::size_t i = 0; i < name_at; ++i) {
        std::string_view value = cells[i];
        if (writes_line(plan[i], value))
            if (refusal refused = check_line(plan[i], value, mailbox_context(plan[i], value));
                refused.hazard != nullptr)
                return refused;
    }
    std::string_view name = cells[name_at];
    if (const char *hazard = header_hazard(name, v.header_end))
        return {hazard, plan[name_at].name};

    put_header(out, name, v.header_end);
    std::string codecs;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const column_plan &col = plan[i];
        std::string_view value = cells[i];
        if (col.kind == rule_kind::codec) {
            add_codec(codecs, col.key, value);
        } else if (writes_line(col, value)) {
            std::string_view suffix = mailbox_context(col, value);
            if (i > name_at)
                if (refusal refused = check_line(col, value, suffix); refused.hazard != nullptr)
                    return refused;
            put_setting(out, col.key, value, suffix);
        }
    }
    if (refusal refused = check_name(plan[name_at].name, name, naming.taken, row);
        refused.hazard != nullptr)
        return refused;
    std::string_view allowed = finish_codecs(codecs, v);
    out.put("disallow = all\nallow = ");
    out.put(allowed);
    out.put(v.allow_end);
    return {};
}
