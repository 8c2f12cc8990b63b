// The generator of content identifiers.
#include "format/cid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

namespace skarvel {
namespace {

// The classic sequence of the 32-bit Windows runtime's rand():
// state = state * 214013 + 2531011 (mod 2^32), value = (state >> 16) & 0x7FFF.
TEST(CidTest, ClassicSequence) {
  seedCid(0);
  for (uint32_t expected : {38u, 7719u, 21238u, 2437u, 8855u, 11797u, 8365u, 32285u}) {
    EXPECT_EQ(nextCid(), expected);
  }
  seedCid(1);
  for (uint32_t expected : {41u, 18467u, 6334u, 26500u, 19169u}) {
    EXPECT_EQ(nextCid(), expected);
  }
  // Seeding again restarts the sequence.
  seedCid(0);
  EXPECT_EQ(nextCid(), 38u);
}

TEST(CidTest, ValuesStayWithinFifteenBits) {
  for (uint32_t seed : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu, 1700000000u}) {
    seedCid(seed);
    uint32_t largest = 0;
    for (int i = 0; i < 100000; ++i) {
      uint32_t value = nextCid();
      ASSERT_LE(value, 0x7FFFu) << "seed " << seed << " draw " << i;
      largest = std::max(largest, value);
    }
    // The whole 15-bit range is used, not a narrower one.
    EXPECT_GT(largest, 0x7F00u) << "seed " << seed;
  }
}

}  // namespace
}  // namespace skarvel
