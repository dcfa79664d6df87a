#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// A set of names, each with a number that says where it was met first.
// A table of 100,000 phones is checked on every run, and a look-up that
// misses the processor's caches costs more than all else it does: the hash
// table holds eight bytes a name, part of the name's hash and its place in
// a list, so that it stays small and a probe rarely needs the name itself;
// and a bitmap of two bits a slot answers most look-ups of names the set
// lacks without the table. The names are not copied; their texts must
// outlive the set.
class name_set
{
  public:
    // Room for `names` names without growing.
    explicit name_set(std::size_t names = 0);

    // Adds `name`, met first at `where`, unless the set has it; returns
    // where it was met first.
    std::uint32_t insert(std::string_view name, std::uint32_t where);

    // Where `name` was met first, or `absent` when the set lacks it.
    static constexpr std::uint32_t absent = 0xffffffff;
    std::uint32_t find(std::string_view name) const;

  private:
    struct slot {
        std::uint32_t tag = 0;  // the high half of the name's hash
        std::uint32_t name = 0; // its place in names_, from 1; 0 for a free slot
    };
    struct named {
        std::string_view name;
        std::uint32_t where;
    };

    std::size_t slot_of(std::string_view name, std::uint64_t hash) const;
    void grow();

    std::size_t bit_of(std::uint64_t hash) const;

    std::vector<slot> slots_;         // a power of two of them, at most half used
    std::vector<named> names_;        // in the order they were added
    std::vector<std::uint64_t> seen_; // a bit set for some hash of each name
};
