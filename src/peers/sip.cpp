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

// Why the row's lines would not reach the PBX as the table means them, in
// column order, or nothing.
refusal check_lines(const std::vector<column_plan> &plan, row_view cells, const variant &v,
                    std::size_t name_at)
{
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const column_plan &col = plan[i];
        std::string_view value = cells[i];
        const char *hazard = nullptr;
        bool in_name = false;
        if (i == name_at) {
            hazard = header_hazard(value, v.header_end);
        } else if (writes_line(col, value)) {
            hazard = setting_hazard(col.key_safety, value, mailbox_context(col, value),
                                    col.is_credential);
            in_name = hazard != nullptr && hazard == setting_hazard(col.key_safety, {});
        }
        if (hazard != nullptr) {
            refusal refused{hazard, col.name};
            refused.in_name = in_name;
            return refused;
        }
    }
    return {};
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

refusal write_sip_row(output_file &out, const std::vector<column_plan> &plan, row_view cells,
                      const variant &v, const row_naming &naming, std::uint32_t row)
{
    // Without a header, the row's lines would fall in whatever section came
    // before: another row's, or the one that includes the file.
    std::size_t name_at = naming.column;
    if (name_at == no_column)
        return {"an empty name", naming.keyword};
    refusal refused = check_lines(plan, cells, v, name_at);
    if (refused.hazard == nullptr)
        refused = check_name(plan[name_at].name, cells[name_at], naming.taken, row);
    if (refused.hazard != nullptr)
        return refused;

    put_header(out, cells[name_at], v.header_end);
    std::string codecs;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const column_plan &col = plan[i];
        std::string_view value = cells[i];
        if (col.kind == rule_kind::codec)
            add_codec(codecs, col.key, value);
        else if (writes_line(col, value))
            put_setting(out, col.key, value, mailbox_context(col, value));
    }
    std::string_view allowed = finish_codecs(codecs, v);
    out.put("disallow = all\nallow = ");
    out.put(allowed);
    out.put(v.allow_end);
    return {};
}
