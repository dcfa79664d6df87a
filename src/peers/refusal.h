#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Why a row may not be written, and how the console says it.

struct refusal {
    const char *hazard = nullptr; // what the column holds, as the console names it; null: written
    std::string_view column;
    std::string_view file;   // the other file the hazard names, if it names one
    bool in_name = false;    // the hazard is in the column's name, not in its value
    std::string_view option; // for a PJSIP value: the option that would not take it, if one
    std::string_view takes;  // and the values the column takes

    refusal() = default;
    refusal(const char *hazard, std::string_view column, std::string_view file = {})
        : hazard(hazard), column(column), file(file)
    {
    }
};

// Says that row number `row`, whose section name is `name` (empty when it
// has none), was refused, in the file at `path`, which is left unchanged:
// on standard output, "Row N column C holds HAZARD,PATH is left unchanged."
// as it always has, and on standard error a cause line that names the row
// both ways and says what to change:
// "peerloom: refuse PATH: row N (NAME) column C holds HAZARD; FIX".
void report_refusal(std::uint32_t row, std::string_view name, const refusal &refused,
                    const std::string &path);
