#include "peers/name_set.h"

namespace
{

// FNV-1a, finished with a multiply and shifts so that both halves are well
// mixed: names are short, and this needs no set-up per call.
std::uint64_t hash_of(std::string_view name)
{
    std::uint64_t h = 14695981039346656037ull;
    for (char c : name) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    return h ^ (h >> 33);
}

std::uint32_t tag_of(std::uint64_t hash)
{
    return static_cast<std::uint32_t>(hash >> 32);
}

std::size_t capacity_for(std::size_t names)
{
    std::size_t slots = 64; // and so at least two words of the bitmap
    while (slots < 2 * names)
        slots *= 2;
    return slots;
}

} // namespace

name_set::name_set(std::size_t names) : slots_(capacity_for(names)), seen_(slots_.size() / 32)
{
    names_.reserve(names);
}

// Another part of the hash than the slot's, so that names of one slot are
// told apart here.
std::size_t name_set::bit_of(std::uint64_t hash) const
{
    return (hash >> 40) & (seen_.size() * 64 - 1);
}

// The slot that holds `name`, or the free slot where it would go.
std::size_t name_set::slot_of(std::string_view name, std::uint64_t hash) const
{
    std::size_t mask = slots_.size() - 1;
    std::uint32_t tag = tag_of(hash);
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const slot &s = slots_[i];
        if (s.name == 0 || (s.tag == tag && names_[s.name - 1].name == name))
            return i;
    }
}

void name_set::grow()
{
    std::vector<slot> old(slots_.size() * 2);
    old.swap(slots_);
    seen_.assign(slots_.size() / 32, 0);
    for (const slot &s : old)
        if (s.name != 0) {
            std::string_view name = names_[s.name - 1].name;
            std::uint64_t hash = hash_of(name);
            slots_[slot_of(name, hash)] = s;
            seen_[bit_of(hash) / 64] |= std::uint64_t(1) << (bit_of(hash) % 64);
        }
}

std::uint32_t name_set::insert(std::string_view name, std::uint32_t where)
{
    if (2 * (names_.size() + 1) > slots_.size())
        grow();
    std::uint64_t hash = hash_of(name);
    slot &s = slots_[slot_of(name, hash)];
    if (s.name == 0) {
        names_.push_back({name, where});
        s = {tag_of(hash), static_cast<std::uint32_t>(names_.size())};
        seen_[bit_of(hash) / 64] |= std::uint64_t(1) << (bit_of(hash) % 64);
    }
    return names_[s.name - 1].where;
}

std::uint32_t name_set::find(std::string_view name) const
{
    std::uint64_t hash = hash_of(name);
    if ((seen_[bit_of(hash) / 64] >> (bit_of(hash) % 64) & 1) == 0)
        return absent;
    const slot &s = slots_[slot_of(name, hash)];
    return s.name != 0 ? names_[s.name - 1].where : absent;
}
