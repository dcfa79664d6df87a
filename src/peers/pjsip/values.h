#pragma once

#include <string_view>

// How the PJSIP side of the PBX reads the texts of a row: the words it
// knows, and where it would read a text otherwise than the table means it.

// Decimal digits, at least one.
bool is_number(std::string_view text);

// True and false as the PBX reads them: yes/no, true/false, on/off, 1/0,
// y/n, t/f in any letter case.
enum class truth { yes, no, neither };
truth read_truth(std::string_view value);

// `word` without the blanks and tabs at either end.
std::string_view without_blanks(std::string_view word);

// Calls `take` with each word of a comma-separated list, blanks around it
// cut; false as soon as `take` refuses one.
template <typename F> bool each_word(std::string_view list, F take)
{
    for (;;) {
        std::size_t comma = list.find(',');
        if (!take(without_blanks(list.substr(0, comma))))
            return false;
        if (comma == std::string_view::npos)
            return true;
        list.remove_prefix(comma + 1);
    }
}

// One word of a chan_sip nat list, what it asks for.
enum class nat_word { yes, no, force_rport, comedia, unknown };
nat_word read_nat_word(std::string_view word);

// How the PBX reads a host.
enum class host_kind {
    dynamic, // empty or "dynamic": the phone registers
    ipv4,    // one IPv4 address
    ipv6,    // one IPv6 address, bracketed in a URI
    name,    // one host name, resolved by the PBX
    refused, // anything else: a list, a network, a port, ...
};
host_kind read_host(std::string_view host);

// An md5 credential: 32 hexadecimal digits.
bool is_md5_digest(std::string_view value);

// A from_user: the characters the PBX allows in the user part it writes.
bool is_from_user(std::string_view value);

// An unsigned 32-bit number in decimal digits; `written` gets it without
// the leading zeros, with which the PBX would read it as octal.
bool read_uint32(std::string_view value, std::string_view &written);
