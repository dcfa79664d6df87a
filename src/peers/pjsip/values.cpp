#include "peers/pjsip/values.h"

#include "peers/rules.h"

#include <arpa/inet.h>
#include <array>
#include <cctype>
#include <cstring>
#include <string>

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

// Letters, digits, '-' and '.', in labels that are not empty; and not a
// number that the resolver would read as an address ("10.1", "0x7f",
// "2130706433" are all IPv4 addresses to it).
bool is_host_name(std::string_view host)
{
    if (!all_in(host, host_name_bytes) || host.front() == '.' || host.back() == '.' ||
        host.find("..") != std::string_view::npos)
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
    if (inet_pton(AF_INET6, text.c_str(), address) == 1)
        return host_kind::ipv6;
    return is_host_name(host) ? host_kind::name : host_kind::refused;
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
