// The seeds of explore's K-th of N shards: the offsets [count*(K-1)/N, count*K/N) of the range,
// whose count reaches 2^64 for 0..18446744073709551615, in a build where no integer type is
// wider than 64 bits (the 32-bit world). Expected slices are that formula worked out exactly.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "tools/nicsim/explore/explore.h"

namespace {

using Slice = std::pair<uint64_t, uint64_t>;

std::vector<Slice> Slices(uint64_t first, uint64_t last, unsigned shards) {
    std::vector<Slice> out;
    for (unsigned k = 1; k <= shards; ++k) out.push_back(nicsim::ShardRange(first, last, k, shards));
    return out;
}

TEST(ShardRange, SlicesTheWholeSeedSpaceAndSmallRangesExactly) {
    constexpr uint64_t kMax = UINT64_MAX;
    EXPECT_EQ(Slices(0, kMax, 1), (std::vector<Slice>{{0, kMax}}));
    EXPECT_EQ(Slices(0, kMax, 2), (std::vector<Slice>{{0, 9223372036854775807u}, {9223372036854775808u, kMax}}));
    EXPECT_EQ(Slices(0, kMax, 3), (std::vector<Slice>{{0, 6148914691236517204u},
                                                      {6148914691236517205u, 12297829382473034409u},
                                                      {12297829382473034410u, kMax}}));
    EXPECT_EQ(Slices(5, kMax, 7).back(), (Slice{15811494920322472814u, kMax}));
    EXPECT_EQ(Slices(3, 33, 4), (std::vector<Slice>{{3, 9}, {10, 17}, {18, 25}, {26, 33}}));
    // More shards than seeds: the empty ones are {1, 0}.
    EXPECT_EQ(Slices(1, 2, 4), (std::vector<Slice>{{1, 0}, {1, 1}, {1, 0}, {2, 2}}));
    EXPECT_EQ(nicsim::ShardRange(kMax, kMax, 1000000, 1000000), (Slice{kMax, kMax}));
    EXPECT_EQ(nicsim::ShardRange(kMax, kMax, 999999, 1000000), (Slice{1, 0}));
}

}  // namespace
