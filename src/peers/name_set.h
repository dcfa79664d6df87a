#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// A set of names, each with a number that says where it was met first.
// A table of 100,000 phones is checked on every run, and a look-up that
// misses the processor's caches costs more than all else it does: the hash
// table holds eight bytes a name, part of the name's hash and its place in
// a list, so that it stays small and a probe rarely needs the name itself.
// The names are not copied; their texts must outlive the set.
class name_set
{
  public:
    // A set that tells names apart byte for byte, or, with `any_case`,
    // ignoring the letter case of ASCII letters.
    explicit name_set(bool any_case = false) : any_case_(any_case) {}

    // Adds `name`, met first at `where`, unless the set has it; returns
    // where it was met first.
    std::uint32_t insert(std::string_view name, std::uint32_t where);

    // Makes room for `more` names beyond those it holds, at once rather than
    // by doubling as they come.
    void reserve(std::size_t more);

  private:
    struct slot {
        std::uint32_t tag = 0;  // the high half of the name's hash
        std::uint32_t name = 0; // its place in names_, from 1; 0 for a free slot
    };
    struct named {
        const char *data;
        std::uint32_t size;
        std::uint32_t where;
    };

    std::uint64_t hash_of(std::string_view name) const;
    bool same(std::string_view a, std::string_view b) const;
    std::size_t slot_of(std::string_view name, std::uint64_t hash) const;
    void grow(std::size_t slots);

    std::vector<slot> slots_ = std::vector<slot>(64); // a power of two, at most 3/4 used
    std::vector<named> names_;                        // in the order they were added
    bool any_case_;
};
