#pragma once

#include <string_view>

// What the PJSIP side of the PBX does with the texts of a row, where that
// differs from what the table means. Each of these says whether a text
// reaches the PBX as the table means it.

// How the PBX reads a host.
enum class host_kind {
    dynamic, // empty or "dynamic": the phone registers
    ipv4,    // one IPv4 address
    ipv6,    // one IPv6 address, bracketed in a URI
    name,    // one host name, resolved by the PBX
    refused, // anything else: a list, a network, a port, ...
};
host_kind read_host(std::string_view host);

// A name is the section header of every object of its row and is written
// into references (auth, aors, endpoint, username) and into the contact URI.
// False for a name that the PBX would cut, trim or split, or that a phone
// could not send as the user part of its address without escaping it.
bool pjsip_keeps_name(std::string_view name);

// An md5 credential: 32 hexadecimal digits.
bool is_md5_digest(std::string_view value);

// A from_user: the characters the PBX allows in the user part it writes.
bool is_from_user(std::string_view value);

// An unsigned 32-bit number in decimal digits; `written` gets it without
// the leading zeros, with which the PBX would read it as octal.
bool read_uint32(std::string_view value, std::string_view &written);
