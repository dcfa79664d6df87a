#include "peers/pjsip/values.h"

#include <arpa/inet.h>
#include <array>
#include <cctype>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "conf/line_reader.h"
#include "peers/rules.h"

namespace
{

// The PBX refuses a contact whose host, without a port, is longer than this
// (the SIP stack's 128-byte host name, less one, less "_sips.tcp.").
constexpr std::size_t longest_host = 117;

// Bytes that may stand in a set, looked up one per byte.
using byte_set = std::array<bool, 256>;

constexpr byte_set set_of(const char *marks)
{
    byte_set in{};
    for (int c = 0; c < 256; ++c)
        in[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    for (; *marks != '\0'; ++marks)
        in[static_cast<unsigned char>(*marks)] = true;
    return in;
}

bool all_in(std::string_view text, const byte_set &set)
{
    for (char c : text)
        if (!set[static_cast<unsigned char>(c)])
            return false;
    return true;
}

// What the PBX's from_user option accepts.
constexpr byte_set from_user_bytes = set_of("-._~%!$&'()*+,;=:");

constexpr byte_set host_name_bytes = set_of("-.");

std::string zero_terminated(std::string_view text)
{
    return std::string(text);
}

// An IPv4 address in IPv6 form (::ffff:a.b.c.d, or ::ffff:a00:1): the PBX
// reads it as the IPv4 address, with a mask of IPv4's length and a contact
// it does not write so.
bool is_ipv4_in_ipv6(const in6_addr &address)
{
    return IN6_IS_ADDR_V4MAPPED(&address);
}

// Letters, digits, '-' and '.', in labels that are not empty; and not a
// number that the resolver would read as an address ("10.1", "0x7f",
// "2130706433" are all IPv4 addresses to it).
bool is_host_name(std::string_view host)
{
    if (!all_in(host, host_name_bytes) || host.front() == '.' || host.back() == '.' ||
        host.find("..") != std::string_view::npos)
        return false;
    // A top label of digits alone names no host: "10.0.0.09" is an address
    // the parser of addresses refuses, which the resolver would then look up.
    std::string_view top = host.substr(host.rfind('.') + 1);
    if (top.find_first_not_of("0123456789") == std::string_view::npos)
        return false;
    in_addr address;
    return inet_aton(zero_terminated(host).c_str(), &address) == 0;
}

} // namespace

bool is_number(std::string_view text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

truth read_truth(std::string_view value)
{
    using namespace std::string_view_literals;
    for (std::string_view word : {"yes"sv, "true"sv, "on"sv, "1"sv, "y"sv, "t"sv})
        if (same_word(value, word))
            return truth::yes;
    for (std::string_view word : {"no"sv, "false"sv, "off"sv, "0"sv, "n"sv, "f"sv})
        if (same_word(value, word))
            return truth::no;
    return truth::neither;
}

std::string_view without_blanks(std::string_view word)
{
    while (!word.empty() && (word.front() == ' ' || word.front() == '\t'))
        word.remove_prefix(1);
    while (!word.empty() && (word.back() == ' ' || word.back() == '\t'))
        word.remove_suffix(1);
    return word;
}

// Every row of a table usually has a nat list, so its words are told by
// their length first.
nat_word read_nat_word(std::string_view word)
{
    switch (word.size()) {
    case 2:
        return same_word(word, "no") ? nat_word::no : nat_word::unknown;
    case 3:
        return same_word(word, "yes") ? nat_word::yes : nat_word::unknown;
    case 5:
        return same_word(word, "never") ? nat_word::no : nat_word::unknown;
    case 7:
        return same_word(word, "comedia") ? nat_word::comedia : nat_word::unknown;
    case 11:
        return same_word(word, "force_rport") ? nat_word::force_rport : nat_word::unknown;
    case 12:
        return same_word(word, "auto_comedia") ? nat_word::comedia : nat_word::unknown;
    case 16:
        return same_word(word, "auto_force_rport") ? nat_word::force_rport : nat_word::unknown;
    }
    return nat_word::unknown;
}

host_kind read_host(std::string_view host)
{
    if (host.empty() || same_word(host, "dynamic"))
        return host_kind::dynamic;
    if (host.size() > longest_host)
        return host_kind::refused;
    std::string text = zero_terminated(host);
    unsigned char address[16];
    if (inet_pton(AF_INET, text.c_str(), address) == 1)
        return host_kind::ipv4;
    in6_addr ipv6;
    if (inet_pton(AF_INET6, text.c_str(), &ipv6) == 1)
        return is_ipv4_in_ipv6(ipv6) ? host_kind::refused : host_kind::ipv6;
    return is_host_name(host) ? host_kind::name : host_kind::refused;
}

namespace
{

// The bytes of a caller id's name or number the PBX keeps.
constexpr std::size_t kept_callerid_part = 79;

// `text` less its blanks at both ends, then one pair of quotes around it.
std::string_view unquoted(std::string_view text)
{
    text = strip_blanks(text);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        text = text.substr(1, text.size() - 2);
    return text;
}

} // namespace

// As ast_callerid_split() does: the number lies between the last '<' and
// the last '>' after it, the name before it. Unescaping the name and
// shrinking the number only shorten them, so their lengths before are
// bounds that hold.
bool keeps_callerid(std::string_view value)
{
    std::string_view text = unquoted(value);
    std::size_t open = text.rfind('<');
    if (open == std::string_view::npos)
        return unquoted(text).size() <= kept_callerid_part;
    std::string_view number = text.substr(open + 1);
    number = number.substr(0, number.rfind('>'));
    return number.size() <= kept_callerid_part &&
           unquoted(text.substr(0, open)).size() <= kept_callerid_part;
}

bool is_port(std::string_view value)
{
    if (!is_number(value) || value.size() > 5 || value.front() == '0')
        return false;
    return std::stoul(std::string(value)) <= 65535;
}

std::string host_identity(std::string_view host, host_kind kind)
{
    unsigned char address[16];
    std::string text = zero_terminated(host);
    if (kind == host_kind::ipv4 && inet_pton(AF_INET, text.c_str(), address) == 1)
        return std::string(reinterpret_cast<char *>(address), 4);
    if (kind == host_kind::ipv6 && inet_pton(AF_INET6, text.c_str(), address) == 1)
        return std::string(reinterpret_cast<char *>(address), 16);
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool is_md5_digest(std::string_view value)
{
    if (value.size() != 32)
        return false;
    for (char c : value)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool is_from_user(std::string_view value)
{
    return all_in(value, from_user_bytes);
}

bool read_uint32(std::string_view value, std::string_view &written)
{
    if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    std::size_t first = value.find_first_not_of('0');
    written =
        first == std::string_view::npos ? value.substr(value.size() - 1) : value.substr(first);
    return written.size() < 10 || (written.size() == 10 && written <= "4294967295");
}

namespace
{

// A decimal number without a sign or a leading zero, at most `most`.
bool is_plain_number(std::string_view text, unsigned most)
{
    if (!is_number(text) || text.size() > 3 || (text.size() > 1 && text.front() == '0'))
        return false;
    unsigned n = 0;
    for (char c : text)
        n = n * 10 + static_cast<unsigned>(c - '0');
    return n <= most;
}

// A group number as the PBX's sscanf("%30d") reads it, from 0 to 63.
bool read_group(std::string_view text, unsigned &group)
{
    if (!is_number(text) || text.size() > 30)
        return false;
    std::size_t first = text.find_first_not_of('0');
    std::string_view digits = first == std::string_view::npos ? "0" : text.substr(first);
    if (digits.size() > 2)
        return false;
    group = 0;
    for (char c : digits)
        group = group * 10 + static_cast<unsigned>(c - '0');
    return group <= 63;
}

bool is_strict_ipv4(std::string_view text)
{
    int parts = 0;
    return each_item(
               text, '.',
               [&](std::string_view part) { return ++parts <= 4 && is_plain_number(part, 255); }) &&
           parts == 4;
}

bool is_ipv6(std::string_view text)
{
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    in6_addr address;
    return text.find('.') == std::string_view::npos &&
           inet_pton(AF_INET6, zero_terminated(text).c_str(), &address) == 1 &&
           !is_ipv4_in_ipv6(address);
}

bool is_acl_item(std::string_view item)
{
    if (!item.empty() && item.front() == '!')
        item.remove_prefix(1);
    std::size_t slash = item.find('/');
    std::string_view address = item.substr(0, slash);
    bool ipv4 = is_strict_ipv4(address);
    if (!ipv4 && !is_ipv6(address))
        return false;
    if (slash == std::string_view::npos)
        return true;
    std::string_view mask = item.substr(slash + 1);
    if (mask.find_first_of(".:") != std::string_view::npos)
        return ipv4 ? is_strict_ipv4(mask) : is_ipv6(mask);
    return is_plain_number(mask, ipv4 ? 32 : 128);
}

} // namespace

bool is_group_list(std::string_view value)
{
    return each_item(value, ',', [](std::string_view item) {
        item = without_blanks(item);
        std::size_t dash = item.find('-');
        unsigned first = 0, last = 0;
        if (dash == std::string_view::npos)
            return read_group(item, first);
        return read_group(item.substr(0, dash), first) && read_group(item.substr(dash + 1), last) &&
               first <= last;
    });
}

bool is_named_group_list(std::string_view value)
{
    bool named = false;
    each_item(value, ',', [&](std::string_view item) {
        named = named || !strip_blanks(item).empty();
        return true;
    });
    return named;
}

bool is_acl_list(std::string_view value)
{
    return each_item(value, ',', is_acl_item);
}

bool is_readable_file(std::string_view value)
{
    if (value.empty() || value.front() != '/')
        return false;
    std::string path = zero_terminated(value);
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) == 0;
}
