#include "peers/row_walk.h"

#include <cstdio>

#include "db/database.h"
#include "files/output_file.h"
#include "peers/pjsip/sections.h"
#include "peers/sip.h"

namespace
{

std::vector<std::string_view> result_column_names()
{
    std::vector<std::string_view> names(column_count());
    rewind_columns();
    for (std::string_view &name : names)
        name = next_column_name();
    return names;
}

std::string_view header_keyword(const rule_chain &chain)
{
    for (const rule &r : chain)
        if (r.kind == rule_kind::header)
            return r.keyword;
    return {};
}

} // namespace

int translate_rows(output_file &out, const rule_chain &chain, const variant &v, peer_form form,
                   taken_names &taken, bool &credentials)
{
    std::vector<std::string_view> names = result_column_names();
    std::printf("field_count = %d\n", static_cast<int>(names.size()));
    std::vector<column_plan> plan = plan_columns(names, chain, v);
    pjsip_plan pjsip;
    if (form == peer_form::pjsip)
        pjsip = plan_pjsip(plan);
    row_naming naming{name_column(plan), header_keyword(chain), taken};
    taken.expect_rows(row_count());
    std::vector<std::size_t> secrets;
    for (std::size_t i = 0; i < plan.size(); ++i)
        if (plan[i].kind == rule_kind::setting && plan[i].is_credential)
            secrets.push_back(i);
    credentials = false;

    // After a failed write the walk goes on, writing nothing more, so that
    // the console shows every row whatever the point of failure; committing
    // the file then reports it.
    for (std::uint32_t row = 1; next_row() != nullptr; ++row) {
        row_view cells{exten_row, row_lengths()};
        refusal refused = form == peer_form::sip
                              ? write_sip_row(out, plan, cells, v, naming, row)
                              : write_pjsip_row(out, plan, cells, v, pjsip, naming, row);
        if (refused.hazard != nullptr) {
            std::string_view name =
                naming.column != no_column ? cells[naming.column] : std::string_view();
            report_refusal(row, name, refused, out.path());
            return -1;
        }
        for (std::size_t i = 0; i < secrets.size() && !credentials; ++i)
            credentials = !cells[secrets[i]].empty();
    }
    return 0;
}
