#include "peers/sip.h"

#include <string>

#include "files/output_file.h"
#include "peers/conf_lines.h"
#include "peers/unsafe_text.h"

namespace
{

// Writes the header line; returns why it may not, or null.
const char *write_header(output_file &out, std::string_view value, const variant &v)
{
    if (const char *hazard = header_hazard(value, v.header_end))
        return hazard;
    put_header(out, value, v.header_end);
    return nullptr;
}

// Writes the setting line of a column, if it has one; returns why it may
// not, or null.
const char *write_setting(output_file &out, const column_plan &col, std::string_view value)
{
    if (value.empty() && !col.keeps_empty)
        return nullptr;
    std::string_view suffix = mailbox_context(col, value);
    if (const char *hazard = setting_hazard(col.key_safety, value, suffix.size()))
        return hazard;
    if (const char *hazard = credential_hazard(col, value))
        return hazard;
    put_setting(out, col.key, value, suffix);
    return nullptr;
}

void write_codec_lines(output_file &out, std::string &codecs, const variant &v)
{
    std::string_view allowed = finish_codecs(codecs, v);
    out.put("disallow = all\nallow = ");
    out.put(allowed);
    out.put(v.allow_end);
}

} // namespace

refusal write_sip_row(output_file &out, const std::vector<column_plan> &plan, row_view cells,
                      const variant &v)
{
    std::string codecs;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const column_plan &col = plan[i];
        std::string_view value = cells[i];
        const char *hazard = nullptr;
        switch (col.kind) {
        case rule_kind::skip:
            break;
        case rule_kind::header:
            hazard = write_header(out, value, v);
            break;
        case rule_kind::codec:
            add_codec(codecs, col, value);
            break;
        case rule_kind::setting:
            hazard = write_setting(out, col, value);
            break;
        }
        if (hazard != nullptr)
            return {hazard, col.name};
    }
    write_codec_lines(out, codecs, v);
    return {};
}
