#include "peers/rules.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

#include "db/database.h"
#include "peers/output_file.h"
#include "peers/unsafe_text.h"

namespace
{

const rule codec_rules[] = {
    {"_alaw", rule_kind::codec},  {"_ulaw", rule_kind::codec}, {"_g729", rule_kind::codec},
    {"_g726", rule_kind::codec},  {"_g722", rule_kind::codec}, {"_gsm", rule_kind::codec},
    {"_speex", rule_kind::codec}, {"_h261", rule_kind::codec}, {"_h263", rule_kind::codec},
    {"_h263p", rule_kind::codec}, {"_h264", rule_kind::codec},
};

rule_kind classify(const char *name, const rule_chain &chain)
{
    for (const rule &r : chain)
        if (column_match(name, r.keyword))
            return r.kind;
    return rule_kind::setting;
}

std::vector<const char *> result_column_names()
{
    std::vector<const char *> names(column_count());
    rewind_columns();
    for (const char *&name : names)
        name = next_column_name();
    return names;
}

void refuse(unsigned long row, const char *column, const char *hazard, const output_file &out)
{
    std::printf("Row %lu column %s holds %s,%s is left unchanged.\n", row, column, hazard,
                out.path().c_str());
}

// Writes the header line; returns why it may not, or null.
const char *write_header(output_file &out, std::string_view value, const variant &v)
{
    if (const char *hazard = header_hazard(value))
        return hazard;
    out.put("[");
    out.put(value);
    out.put(v.header_end);
    return nullptr;
}

// Writes the setting line of a column, if it has one; returns why it may
// not, or null.
const char *write_setting(output_file &out, const column_plan &col, std::string_view value)
{
    if (value.empty() && !col.keeps_empty)
        return nullptr;
    if (const char *hazard = setting_hazard(col.key, value))
        return hazard;
    out.put(col.key);
    out.put(" = ");
    out.put(value);
    if (col.takes_mailbox_context && !value.empty() && value.find('@') == std::string_view::npos)
        out.put("@default");
    out.put("\n");
    return nullptr;
}

void write_codec_lines(output_file &out, std::string &codecs, const variant &v)
{
    if (v.traces_codecs)
        std::printf("codecs len %d\n", static_cast<int>(codecs.size()));
    // Four bytes, trailing comma included, hold at most gsm alone: too few
    // to be a usable selection. The row is written all the same.
    if (codecs.size() <= 4)
        std::puts("something wrong happened to codecs selection.");
    if (!codecs.empty())
        codecs.pop_back(); // the comma after the last codec
    if (v.traces_codecs)
        std::printf("codecs = %s\n", codecs.c_str());
    out.put("disallow = all\nallow = ");
    out.put(codecs);
    out.put(v.allow_end);
}

} // namespace

rule_chain with_codecs(rule_chain chain)
{
    chain.insert(chain.end(), std::begin(codec_rules), std::end(codec_rules));
    return chain;
}

bool column_match(const char *name, const char *keyword)
{
    return strncasecmp(name, keyword, std::strlen(name)) == 0;
}

std::string_view handle_string(const char *name)
{
    return *name == '\0' ? name : name + 1;
}

std::vector<column_plan> plan_columns(const std::vector<const char *> &names,
                                      const rule_chain &chain, const variant &v)
{
    std::vector<column_plan> plan;
    plan.reserve(names.size());
    for (const char *name : names) {
        column_plan col{name, classify(name, chain), handle_string(name), false, false};
        col.keeps_empty = !v.drops_empty_values || column_match(name, "_secret") ||
                          column_match(name, "_vmsecret");
        col.takes_mailbox_context = v.adds_mailbox_context && column_match(name, "_mailbox");
        plan.push_back(col);
    }
    return plan;
}

refusal write_row(output_file &out, const std::vector<column_plan> &plan, const char *const *values,
                  const variant &v)
{
    std::string codecs;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const column_plan &col = plan[i];
        const char *value = values[i] != nullptr ? values[i] : "";
        const char *hazard = nullptr;
        switch (col.kind) {
        case rule_kind::skip:
            break;
        case rule_kind::header:
            hazard = write_header(out, value, v);
            break;
        case rule_kind::codec:
            if (column_match(value, "1")) {
                codecs += col.key;
                codecs += ',';
            }
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

int translate_rows(output_file &out, const rule_chain &chain, const variant &v)
{
    std::vector<const char *> names = result_column_names();
    std::printf("field_count = %d\n", static_cast<int>(names.size()));
    std::vector<column_plan> plan = plan_columns(names, chain, v);

    // After a failed write the walk goes on, writing nothing more, so that
    // the console shows every row whatever the point of failure; committing
    // the file then reports it.
    for (unsigned long row = 1; next_row() != nullptr; ++row) {
        refusal refused = write_row(out, plan, exten_row, v);
        if (refused.hazard != nullptr) {
            refuse(row, refused.column, refused.hazard, out);
            return -1;
        }
    }
    return 0;
}
