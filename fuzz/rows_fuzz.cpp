// Arbitrary column names and rows through each mode's column plan and row
// writer, without a database. Every name and value also goes through the
// unsafe-text checks, which must agree with their plain definition.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <string_view>
#include <vector>

#include "peers/output_file.h"
#include "peers/peer_file.h"
#include "peers/unsafe_text.h"
#include "run/build_config.h"

namespace
{

const peer_mode *const modes[] = {&extension_mode, &horncell_mode, &webrtc_mode};

bool has_line_break(std::string_view text)
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

bool has_comment_marker(std::string_view text)
{
    return text.find(";--") != std::string_view::npos || text.find("--;") != std::string_view::npos;
}

// The checks spelled out one search at a time.
const char *plain_setting_hazard(std::string_view key, std::string_view value)
{
    if (has_line_break(key) || has_line_break(value))
        return "a line break";
    if (has_comment_marker(key) || has_comment_marker(value))
        return "a block comment marker";
    return nullptr;
}

const char *plain_header_hazard(std::string_view value)
{
    if (has_line_break(value))
        return "a line break";
    if (has_comment_marker(value))
        return "a block comment marker";
    if (value.find(']') != std::string_view::npos)
        return "a closing bracket";
    if (value.find(';') != std::string_view::npos)
        return "a semicolon";
    return nullptr;
}

bool same(const char *a, const char *b)
{
    return a == b || (a != nullptr && b != nullptr && std::strcmp(a, b) == 0);
}

void check_hazards(std::string_view key, std::string_view value)
{
    if (!same(setting_hazard(key, value), plain_setting_hazard(key, value)) ||
        !same(header_hazard(value), plain_header_hazard(value)))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    const peer_mode &mode = *modes[in.ConsumeIntegralInRange<std::size_t>(0, 2)];

    // Names and values are C strings: an embedded NUL ends them, as it
    // does for what the client library hands over.
    std::vector<std::string> names(in.ConsumeIntegralInRange<std::size_t>(1, 16));
    std::vector<const char *> name_texts;
    for (std::string &name : names) {
        name = in.ConsumeRandomLengthString(24);
        name_texts.push_back(name.c_str());
    }
    std::vector<column_plan> plan = plan_columns(name_texts, mode.chain, mode.shape);

    // Never committed: the destructor removes the temporary file.
    output_file out(std::string(config_dir) + "/" + mode.file_name);
    if (!out.open())
        std::abort();
    std::vector<std::string> cells(names.size());
    std::vector<const char *> values(names.size());
    while (in.remaining_bytes() > 0) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            bool null = in.ConsumeBool();
            cells[i] = in.ConsumeRandomLengthString(64);
            values[i] = null ? nullptr : cells[i].c_str();
            check_hazards(cells[i], cells[i]);
            check_hazards(plan[i].key, cells[i]);
        }
        if (write_row(out, plan, values.data(), mode.shape).hazard != nullptr)
            break;
    }
    return 0;
}
