#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "peers/name_set.h"

namespace
{

// Past its first size the set grows; every name keeps where it was met
// first, and a name it lacks, a near miss included, is new.
TEST(NameSet, KeepsWhereEachNameWasMetFirst)
{
    std::vector<std::string> names;
    for (int i = 0; i < 5000; ++i)
        names.push_back(std::to_string(100000 + i));
    names.push_back("");
    name_set set;
    for (std::size_t i = 0; i < names.size(); ++i)
        ASSERT_EQ(set.insert(names[i], static_cast<std::uint32_t>(i + 1)), i + 1) << names[i];
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(set.insert(names[i], 0), i + 1) << names[i];
    for (std::string near : {"99999", "1000000", "100000 ", "10000", "a"})
        EXPECT_EQ(set.insert(near, 7), 7u) << near;
}

} // namespace
