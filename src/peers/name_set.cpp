#include "peers/name_set.h"

namespace
{

std::uint32_t tag_of(std::uint64_t hash)
{
    return static_cast<std::uint32_t>(hash >> 32);
}

unsigned char folded(char c, bool any_case)
{
    auto byte = static_cast<unsigned char>(c);
    return any_case && byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte | 0x20) : byte;
}

} // namespace

// FNV-1a, finished with a multiply and shifts so that both halves are well
// mixed: names are short, and this needs no set-up per call.
std::uint64_t name_set::hash_of(std::string_view name) const
{
    std::uint64_t h = 14695981039346656037ull;
    for (char c : name) {
        h ^= folded(c, any_case_);
        h *= 1099511628211ull;
    }
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    return h ^ (h >> 33);
}

bool name_set::same(std::string_view a, std::string_view b) const
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (folded(a[i], any_case_) != folded(b[i], any_case_))
            return false;
    return true;
}

// The slot that holds `name`, or the free slot where it would go.
std::size_t name_set::slot_of(std::string_view name, std::uint64_t hash) const
{
    std::size_t mask = slots_.size() - 1;
    std::uint32_t tag = tag_of(hash);
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const slot &s = slots_[i];
        if (s.name == 0)
            return i;
        const named &n = names_[s.name - 1];
        if (s.tag == tag && same(std::string_view(n.data, n.size), name))
            return i;
    }
}

void name_set::grow(std::size_t slots)
{
    std::vector<slot> old(slots);
    old.swap(slots_);
    for (const slot &s : old) {
        if (s.name != 0) {
            const named &n = names_[s.name - 1];
            std::string_view name(n.data, n.size);
            slots_[slot_of(name, hash_of(name))] = s;
        }
    }
}

void name_set::reserve(std::size_t more)
{
    std::size_t wanted = names_.size() + more, slots = slots_.size();
    while (4 * wanted > 3 * slots)
        slots *= 2;
    if (slots != slots_.size())
        grow(slots);
    names_.reserve(wanted);
}

std::uint32_t name_set::insert(std::string_view name, std::uint32_t where)
{
    if (4 * (names_.size() + 1) > 3 * slots_.size())
        grow(slots_.size() * 2);
    std::uint64_t hash = hash_of(name);
    slot &s = slots_[slot_of(name, hash)];
    if (s.name == 0) {
        names_.push_back({name.data(), static_cast<std::uint32_t>(name.size()), where});
        s = {tag_of(hash), static_cast<std::uint32_t>(names_.size())};
    }
    return names_[s.name - 1].where;
}
