// Arbitrary column names and rows, of arbitrary bytes, through each mode's
// column plan and the row writer of either form, without a database. The
// rows are written up to the first one refused, as a run writes them; the
// file of the rows written is then read back as the PBX reads it, and must
// give the sections, keys and values the table means, worked out here from
// the table alone.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fuzzer/FuzzedDataProvider.h>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "conf/line_reader.h"
#include "files/output_file.h"
#include "peers/peer_file.h"
#include "peers/pjsip/sections.h"
#include "peers/sip.h"
#include "run/build_config.h"

namespace
{

const peer_mode *const modes[] = {&extension_mode, &horncell_mode, &webrtc_mode};

// The files the run reads and writes.
const std::string files_dir = config_dir;

// The bytes the PBX strips from both ends, worked out on their own.
std::string stripped(std::string_view text)
{
    std::size_t first = 0, last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) < 33)
        ++first;
    while (last > first && static_cast<unsigned char>(text[last - 1]) < 33)
        --last;
    return std::string(text.substr(first, last - first));
}

struct setting {
    std::string key, value;
    bool operator==(const setting &o) const { return key == o.key && value == o.value; }
};
struct section {
    std::string name, options;
    std::vector<setting> lines;
};

// What the PBX reads of the file, templates left out.
std::vector<section> read_back(const std::string &path)
{
    std::vector<section> sections;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        std::abort();
    std::string text;
    char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
        text.append(chunk, n);
    std::fclose(f);
    conf_reader reader;
    bool in_template = false;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        reader.read(std::string_view(text).substr(at, end - at), [&](const conf_line &line) {
            if (line.is == conf_line::kind::header) {
                in_template = is_template(line);
                if (!in_template)
                    sections.push_back({std::string(line.name), std::string(line.value), {}});
            } else if (line.is == conf_line::kind::setting) {
                if (!in_template && (sections.empty() || line.appends || line.object))
                    std::abort(); // a line outside any row's section
                if (!in_template)
                    sections.back().lines.push_back(
                        {std::string(line.name), std::string(line.value)});
            } else if (line.is != conf_line::kind::nothing) {
                std::abort(); // a directive, or a file the PBX would give up
            }
        });
        at = end;
    }
    if (reader.in_comment())
        std::abort();
    return sections;
}

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The chan_sip section that a written row must read back as.
section sip_section(const std::vector<column_plan> &plan, row_view cells, std::size_t name_at,
                    const variant &v)
{
    section s{std::string(cells[name_at].substr(0, 79)),
              std::string_view(v.header_end) == "](webrtc)\n" ? "webrtc" : "",
              {}};
    std::string codecs;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const column_plan &col = plan[i];
        std::string_view value = cells[i];
        if (col.kind == rule_kind::codec && (value.empty() || value == "1"))
            codecs += std::string(col.key) + ",";
        if (col.kind != rule_kind::setting || (value.empty() && !col.keeps_empty))
            continue;
        std::string suffix(mailbox_context(col, value));
        bool exact = col.is_credential || !suffix.empty();
        s.lines.push_back(
            {std::string(col.key), exact ? std::string(value) + suffix : stripped(value)});
    }
    if (!codecs.empty())
        codecs.pop_back();
    s.lines.push_back({"disallow", "all"});
    s.lines.push_back({"allow", codecs});
    return s;
}

bool has_line(const section &s, const setting &line)
{
    for (const setting &l : s.lines)
        if (l == line)
            return true;
    return false;
}

// The PJSIP sections a written row must read back as: every one named after
// the row, the endpoint first, each value copied as the PBX reads it, and
// the credential whole. Returns how many sections they are.
std::size_t check_pjsip_sections(const std::vector<section> &read, std::size_t at,
                                 const std::vector<column_plan> &plan, row_view cells,
                                 std::size_t name_at)
{
    std::string name(cells[name_at]);
    std::size_t end = at;
    while (end < read.size() && read[end].name == name)
        ++end;
    if (end - at < 2)
        std::abort();
    const section &endpoint = read[at];
    bool hashed = false;
    for (std::size_t i = 0; i < plan.size(); ++i)
        hashed = hashed || (plan[i].kind == rule_kind::setting &&
                            same_word(plan[i].key, "md5secret") && !cells[i].empty());
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const column_plan &col = plan[i];
        std::string_view value = cells[i];
        const pjsip_column *t =
            col.kind == rule_kind::setting ? find_translation(col.key) : nullptr;
        if (t == nullptr || value.empty())
            continue;
        if (value_line_key(*t) == t->option && !t->option.empty() && !stripped(value).empty() &&
            !has_line(endpoint, {std::string(t->option),
                                 stripped(value) + std::string(mailbox_context(col, value))}))
            std::abort();
        if (same_word(col.key, "secret") && !hashed &&
            !has_line(read[at + 1], {"password", std::string(value)}))
            std::abort();
    }
    return end - at;
}

void write_text(const std::string &path, const std::string &text)
{
    if (std::FILE *f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
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
    // Another peer file and the including file, for the names they hold.
    const std::string other = files_dir + "/other.conf", including = files_dir + "/sip.conf";
    write_text(other, in.ConsumeRandomLengthString(256));
    write_text(including, in.ConsumeRandomLengthString(128));

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
            // Long enough, now and then, that some lines reach the PBX's limit.
            if (in.ConsumeBool() && in.ConsumeBool())
                row.cells[i].append(8150, 'x');
            row.values.push_back(null ? nullptr : row.cells[i].c_str());
            row.lengths.push_back(null ? 0 : row.cells[i].size());
        }
    }

    taken_names taken(form);
    if (!taken.read_files(config_dir, files_dir + "/" + mode.file_name, {other}, including))
        std::abort();
    pjsip_plan pjsip = plan_pjsip(plan);
    row_naming naming{name_column(plan), "_exten", taken};

    output_file out(config_dir, mode.file_name, 0);
    if (out.open() != output_file::opening::ready)
        std::abort();
    out.put(form == peer_form::pjsip ? mode.pjsip_preamble : mode.preamble);
    std::vector<std::uint32_t> written;
    bool half_written = false;
    for (std::uint32_t number = 1; number <= rows.size(); ++number) {
        row_view cells{rows[number - 1].values.data(), rows[number - 1].lengths.data()};
        refusal refused =
            form == peer_form::sip
                ? write_sip_row(out, plan, cells, mode.shape, naming, number)
                : write_pjsip_row(out, plan, cells, mode.shape, pjsip, naming, number);
        // A run ends at its first refusal, as the file would be kept; a
        // chan_sip row may have written some of its section.
        if (refused.hazard != nullptr) {
            half_written = form == peer_form::sip;
            break;
        }
        written.push_back(number);
    }
    if (out.commit() == file_outcome::failed)
        std::abort();

    std::vector<section> read = read_back(files_dir + "/" + mode.file_name);
    std::set<std::string> seen;
    std::size_t at = 0;
    for (std::uint32_t number : written) {
        row_view cells{rows[number - 1].values.data(), rows[number - 1].lengths.data()};
        std::string name(cells[naming.column]);
        std::string compared = form == peer_form::sip ? lower(name.substr(0, 79)) : name;
        if (!seen.insert(compared).second)
            std::abort(); // two rows of one name
        if (form == peer_form::sip) {
            section meant = sip_section(plan, cells, naming.column, mode.shape);
            if (at >= read.size() || read[at].name != meant.name ||
                read[at].options != meant.options || !(read[at].lines == meant.lines))
                std::abort();
            ++at;
        } else {
            at += check_pjsip_sections(read, at, plan, cells, naming.column);
        }
    }
    if (at + half_written < read.size())
        std::abort(); // a section no row wrote
    return 0;
}
