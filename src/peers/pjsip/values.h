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

// `list` split at each `separator`, each item given to `take` as it
// stands; false as soon as `take` refuses one.
template <typename F> bool each_item(std::string_view list, char separator, F take)
{
    for (;;) {
        std::size_t at = list.find(separator);
        if (!take(list.substr(0, at)))
            return false;
        if (at == std::string_view::npos)
            return true;
        list.remove_prefix(at + 1);
    }
}

// Calls `take` with each word of a comma-separated list, blanks around it
// cut; false as soon as `take` refuses one.
template <typename F> bool each_word(std::string_view list, F take)
{
    return each_item(list, ',', [&](std::string_view word) { return take(without_blanks(word)); });
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

// callerid: the PBX splits it into a name and a number ("NAME" <NUMBER>,
// or either alone) and keeps 79 bytes of each; true when neither is longer.
bool keeps_callerid(std::string_view value);

// A port number from 1 to 65535, in decimal digits without a leading zero.
bool is_port(std::string_view value);

// The host as the PBX tells hosts apart: the bytes of an address, or a
// host name in lower case.
std::string host_identity(std::string_view host, host_kind kind);

// An md5 credential: 32 hexadecimal digits.
bool is_md5_digest(std::string_view value);

// A from_user: the characters the PBX allows in the user part it writes.
bool is_from_user(std::string_view value);

// An unsigned 32-bit number in decimal digits; `written` gets it without
// the leading zeros, with which the PBX would read it as octal.
bool read_uint32(std::string_view value, std::string_view &written);

// The lists that res_pjsip's handlers read item by item, and the files they
// check. Each is true for a value that the handler takes as meant; a value
// it would reject drops the endpoint, and one whose items it would skip in
// silence or read as others is refused too.

// call_group and pickup_group: groups from 0 to 63 and ranges "N-M" of
// them, separated by commas. The PBX skips a group past 63 and a word in
// silence, takes an empty item for group 0, and a blank inside a range
// ends it at its first number.
bool is_group_list(std::string_view value);

// named_call_group and named_pickup_group: names separated by commas; the
// PBX rejects a list that names none.
bool is_named_group_list(std::string_view value);

// deny and permit: items "ADDRESS" or "ADDRESS/MASK", each may start with
// '!', separated by commas with nothing around them. ADDRESS is an IPv4
// address of four decimal numbers without leading zeros (the resolver would
// read "010.0.0.1" as 8.0.0.1, and "10.1" as 10.0.0.1) or an IPv6 one; MASK
// a prefix length in decimal, or a mask of the address's family.
bool is_acl_list(std::string_view value);

// dtls_cert_file and dtls_ca_file: the absolute path of a regular file that
// this run can read. The PBX drops an endpoint that names a file it cannot
// read; it reads a relative path from wherever it was started.
bool is_readable_file(std::string_view value);
