// Arbitrary column names and rows through each mode's column plan and the
// row writer of either form, without a database. Every name and value also
// goes through the unsafe-text checks, which must agree with their plain
// definition.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <string_view>
#include <vector>

#include <strings.h>

#include "files/output_file.h"
#include "peers/peer_file.h"
#include "peers/pjsip.h"
#include "peers/sip.h"
#include "peers/unsafe_text.h"
#include "run/build_config.h"

namespace
{

const peer_mode *const modes[] = {&extension_mode, &horncell_mode, &webrtc_mode};

bool has_line_break(std::string_view text)
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

bool has_nul(std::string_view text)
{
    return text.find('\0') != std::string_view::npos;
}

bool has_comment_marker(std::string_view text)
{
    return text.find(";--") != std::string_view::npos || text.find("--;") != std::string_view::npos;
}

// The PBX strips the blanks in front of a line, then a '[' makes it a
// section, a '#' a directive and a '\' an escape; a '=' or ';' in a key
// moves or cuts it, and a '+' at its end appends.
bool ends_a_key(std::string_view key)
{
    std::string_view stripped = key;
    while (!stripped.empty() && (stripped[0] == ' ' || stripped[0] == '\t' || stripped[0] == '\v' ||
                                 stripped[0] == '\f'))
        stripped.remove_prefix(1);
    if (!stripped.empty() && (stripped[0] == '[' || stripped[0] == '#' || stripped[0] == '\\'))
        return true;
    if (!key.empty() && key.back() == '+')
        return true;
    for (char c : key)
        if (c == '=' || c == ';')
            return true;
    return false;
}

std::size_t count(std::string_view text, char c)
{
    std::size_t n = 0;
    for (char t : text)
        n += t == c;
    return n;
}

// The checks spelled out one search at a time.
const char *plain_setting_hazard(std::string_view key, std::string_view value, std::size_t suffix)
{
    if (has_line_break(key) || has_line_break(value))
        return "a line break";
    if (has_nul(key) || has_nul(value))
        return "a NUL byte";
    if (has_comment_marker(key) || has_comment_marker(value))
        return "a block comment marker";
    if (ends_a_key(key))
        return "a character that ends a key";
    if (key.size() + 3 + value.size() + count(value, ';') + suffix >= 8191)
        return "a line too long for the PBX";
    return nullptr;
}

const char *plain_header_hazard(std::string_view value, std::string_view end)
{
    if (has_line_break(value))
        return "a line break";
    if (has_nul(value))
        return "a NUL byte";
    if (has_comment_marker(value))
        return "a block comment marker";
    if (value.find(']') != std::string_view::npos)
        return "a closing bracket";
    if (value.find(';') != std::string_view::npos)
        return "a semicolon";
    if (1 + value.size() + end.size() - 1 >= 8191)
        return "a line too long for the PBX";
    if (value.size() == 6 && strncasecmp(value.data(), "webrtc", 6) == 0)
        return "the name of the WebRTC template";
    return nullptr;
}

void write_text(const std::string &path, const std::string &text)
{
    if (std::FILE *f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

bool same(const char *a, const char *b)
{
    return a == b || (a != nullptr && b != nullptr && std::strcmp(a, b) == 0);
}

void check_hazards(std::string_view key, std::string_view value, std::size_t suffix,
                   std::string_view end)
{
    if (!same(setting_hazard(check_key(key), value, suffix),
              plain_setting_hazard(key, value, suffix)) ||
        !same(header_hazard(value, end), plain_header_hazard(value, end)))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    const peer_mode &mode = *modes[in.ConsumeIntegralInRange<std::size_t>(0, 2)];
    peer_form form = in.ConsumeBool() ? peer_form::pjsip : peer_form::sip;

    // Names and values are byte strings that may hold NUL bytes, as what
    // the client library hands over may.
    std::vector<std::string> names(in.ConsumeIntegralInRange<std::size_t>(1, 16));
    std::vector<std::string_view> name_views;
    for (std::string &name : names) {
        name = in.ConsumeRandomLengthString(24);
        name_views.push_back(name);
    }
    std::vector<column_plan> plan = plan_columns(name_views, mode.chain, mode.shape);
    // Another peer file, for the PJSIP form to read the names of.
    std::string other = std::string(config_dir) + "/other.conf";
    write_text(other, in.ConsumeRandomLengthString(256));

    // Every row's texts stay, as the stored result's do for the whole run.
    struct fuzzed_row {
        std::vector<std::string> cells;
        std::vector<const char *> values; // null for SQL NULL
        std::vector<unsigned long> lengths;
    };
    std::deque<fuzzed_row> rows;
    while (in.remaining_bytes() > 0) {
        fuzzed_row &row = rows.emplace_back();
        row.cells.resize(names.size());
        for (std::size_t i = 0; i < names.size(); ++i) {
            bool null = in.ConsumeBool();
            row.cells[i] = in.ConsumeRandomLengthString(64);
            row.values.push_back(null ? nullptr : row.cells[i].c_str());
            row.lengths.push_back(null ? 0 : row.cells[i].size());
            // Long enough that some lines reach the PBX's limit.
            std::size_t padding = in.ConsumeBool() ? 8150 : 0;
            check_hazards(row.cells[i], row.cells[i], padding, mode.shape.header_end);
            check_hazards(plan[i].key, row.cells[i], padding, "]\n");
        }
    }

    taken_names taken;
    if (!taken.read_other_files({other}))
        std::abort();
    pjsip_plan pjsip = plan_pjsip(plan, mode.chain, taken);

    // Never committed: the destructor removes the temporary file.
    output_file out(config_dir, mode.file_name, 0);
    if (out.open() != output_file::opening::ready)
        std::abort();
    for (std::uint32_t number = 1; number <= rows.size(); ++number) {
        row_view cells{rows[number - 1].values.data(), rows[number - 1].lengths.data()};
        refusal refused = form == peer_form::sip
                              ? write_sip_row(out, plan, cells, mode.shape)
                              : write_pjsip_row(out, plan, cells, mode.shape, pjsip, number);
        if (refused.hazard != nullptr)
            break;
    }
    return 0;
}
