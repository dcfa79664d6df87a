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

} // namespace

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
        if (s.tag == tag && std::string_view(n.data, n.size) == name)
            return i;
    }
}

void name_set::grow()
{
    std::vector<slot> old(slots_.size() * 2);
    old.swap(slots_);
    for (const slot &s : old) {
        if (s.name != 0) {
            const named &n = names_[s.name - 1];
            std::string_view name(n.data, n.size);
            slots_[slot_of(name, hash_of(name))] = s;
        }
    }
}

std::uint32_t name_set::insert(std::string_view name, std::uint32_t where)
{
    if (4 * (names_.size() + 1) > 3 * slots_.size())
        grow();
    std::uint64_t hash = hash_of(name);
    slot &s = slots_[slot_of(name, hash)];
    if (s.name == 0) {
        names_.push_back({name.data(), static_cast<std::uint32_t>(name.size()), where});
        s = {tag_of(hash), static_cast<std::uint32_t>(names_.size())};
    }
    return names_[s.name - 1].where;
}
