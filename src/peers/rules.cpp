#include "peers/rules.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace
{

const rule codec_rules[] = {
    {"_alaw", rule_kind::codec},  {"_ulaw", rule_kind::codec}, {"_g729", rule_kind::codec},
    {"_g726", rule_kind::codec},  {"_g722", rule_kind::codec}, {"_gsm", rule_kind::codec},
    {"_speex", rule_kind::codec}, {"_h261", rule_kind::codec}, {"_h263", rule_kind::codec},
    {"_h263p", rule_kind::codec}, {"_h264", rule_kind::codec},
};

// The first rule of the chain that takes the column, or null for none.
const rule *classify(std::string_view name, const rule_chain &chain)
{
    for (const rule &r : chain)
        if (column_match(name, r.keyword))
            return &r;
    return nullptr;
}

// chan_sip's credentials: a secret, its md5 hash, the secret the PBX
// sends, and "user:secret@realm". The PBX strips the blanks at both ends of
// every value, which would change them.
bool is_credential(std::string_view key)
{
    return same_word(key, "secret") || same_word(key, "md5secret") ||
           same_word(key, "remotesecret") || same_word(key, "auth");
}

// A console line: `label`, then `text`. Mode 1 prints two for every row,
// which cost less put together and written at once than formatted by printf.
void trace(std::string_view label, std::string_view text)
{
    static std::string line;
    line.assign(label).append(text) += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
}

} // namespace

rule_chain with_codecs(rule_chain chain)
{
    chain.insert(chain.end(), std::begin(codec_rules), std::end(codec_rules));
    return chain;
}

bool same_word(std::string_view text, std::string_view word)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (text.size() != word.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (lower(text[i]) != lower(word[i]))
            return false;
    return true;
}

bool column_match(std::string_view name, const char *keyword)
{
    return name.empty() || (name.size() <= std::strlen(keyword) &&
                            strncasecmp(name.data(), keyword, name.size()) == 0);
}

std::string_view handle_string(std::string_view name)
{
    return name.substr(name.empty() ? 0 : 1);
}

std::vector<column_plan> plan_columns(const std::vector<std::string_view> &names,
                                      const rule_chain &chain, const variant &v)
{
    std::vector<column_plan> plan;
    plan.reserve(names.size());
    for (std::string_view name : names) {
        std::string_view key = handle_string(name);
        const rule *r = classify(name, chain);
        rule_kind kind = r != nullptr ? r->kind : rule_kind::setting;
        column_plan col{name, kind, key, check_key(key), false, false, false, {}};
        col.keeps_empty = !v.drops_empty_values || column_match(name, "_secret") ||
                          column_match(name, "_vmsecret");
        col.takes_mailbox_context = v.adds_mailbox_context && column_match(name, "_mailbox");
        col.is_credential = is_credential(key);
        if (kind == rule_kind::codec)
            col.codec = handle_string(r->keyword);
        plan.push_back(col);
    }
    return plan;
}

std::size_t name_column(const std::vector<column_plan> &plan)
{
    for (std::size_t i = 0; i < plan.size(); ++i)
        if (plan[i].kind == rule_kind::header)
            return i;
    return no_column;
}

std::string_view mailbox_context(const column_plan &col, std::string_view value)
{
    bool needs_context =
        col.takes_mailbox_context && !value.empty() && value.find('@') == std::string_view::npos;
    return needs_context ? "@default" : "";
}

void add_codec(std::string &codecs, std::string_view codec, std::string_view value)
{
    // column_match(value, "1"), spelled out: this runs for every codec cell.
    if (value.empty() || value == "1") {
        codecs += codec;
        codecs += ',';
    }
}

std::string_view finish_codecs(std::string &codecs, const variant &v)
{
    if (v.traces_codecs) {
        char digits[24];
        char *end = std::to_chars(digits, digits + sizeof digits, codecs.size()).ptr;
        trace("codecs len ", {digits, static_cast<std::size_t>(end - digits)});
    }
    // Four bytes, trailing comma included, hold at most gsm alone: too few
    // to be a usable selection. The row is written all the same.
    if (codecs.size() <= 4)
        std::puts("something wrong happened to codecs selection.");
    if (!codecs.empty())
        codecs.pop_back(); // the comma after the last codec
    if (v.traces_codecs)
        trace("codecs = ", codecs);
    return codecs;
}
