// Layout arithmetic of a sparse extent and its 77-byte header: the sizes for
// the capacities that matter, the header fields filled from them, the byte
// encoding, and the limits of 32-bit sector numbers.
#include "format/sparse_layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "format/sparse_header.h"

namespace skarvel {
namespace {

struct LayoutCase {
  const char* name;
  uint64_t capacity;  // sectors passed in
  int embedded;
  // Expected layout.
  uint64_t grainCount, grainTableCount, directorySectors, descriptorSectors;
  uint64_t metadataSectors, overhead, totalGrains;
  // Expected header fields.
  uint64_t headerCapacity, descriptorOffset, rgdOffset, gdOffset;
};

// Worked out by hand: grains = ceil(capacity / 128), tables = ceil(grains /
// 512), directory = ceil(4 * tables / 512), metadata = 1 + D + 2 * (4T + G),
// overhead = metadata rounded up to 128.
const LayoutCase kLayouts[] = {
    {"8 MiB", 16384, 1, 128, 1, 1, 20, 31, 128, 129, 16384, 1, 21, 26},
    {"16385 sectors", 16385, 1, 129, 1, 1, 20, 31, 128, 130, 16512, 1, 21, 26},
    {"1 GiB", 2097152, 1, 16384, 32, 1, 20, 279, 384, 16387, 2097152, 1, 21, 150},
    {"2047 MiB extent", 4192256, 0, 32752, 64, 1, 0, 515, 640, 32757, 4192256, 0, 1, 258},
    {"4505 MiB", 9226240, 1, 72080, 141, 2, 20, 1153, 1280, 72090, 9226240, 1, 21, 587},
    {"empty", 0, 0, 0, 0, 0, 0, 1, 128, 1, 0, 0, 1, 1},
    {"empty with descriptor", 0, 1, 0, 0, 0, 20, 21, 128, 1, 0, 1, 21, 21},
    {"8 MiB, no descriptor", 16384, 0, 128, 1, 1, 0, 11, 128, 129, 16384, 0, 1, 6},
    {"any non-zero flag embeds", 16384, -7, 128, 1, 1, 20, 31, 128, 129, 16384, 1, 21, 26},
};

TEST(SparseLayoutTest, ComputedSizes) {
  for (const LayoutCase& c : kLayouts) {
    SparseLayout layout = computeLayout(c.capacity, c.embedded);
    EXPECT_EQ(layout.grainCount, c.grainCount) << c.name;
    EXPECT_EQ(layout.grainTableCount, c.grainTableCount) << c.name;
    EXPECT_EQ(layout.directorySectors, c.directorySectors) << c.name;
    EXPECT_EQ(layout.descriptorSectors, c.descriptorSectors) << c.name;
    EXPECT_EQ(layout.metadataSectors(), c.metadataSectors) << c.name;
    EXPECT_EQ(layout.overhead, c.overhead) << c.name;
    EXPECT_EQ(layout.totalGrains, c.totalGrains) << c.name;
    EXPECT_EQ(layout.capacitySectors(), c.headerCapacity) << c.name;
    EXPECT_EQ(SparseLayout(c.capacity, c.embedded), layout) << c.name;
  }
}

TEST(SparseLayoutTest, FilledHeaders) {
  for (const LayoutCase& c : kLayouts) {
    SparseExtentHeader header;
    // Leftovers in the record must not survive.
    header.uncleanShutdown = 1;
    header.flags = 0xFFFFFFFF;
    header.descriptorSize = 99;
    computeLayout(c.capacity, c.embedded).fillHeader(header);
    EXPECT_EQ(header.magicNumber, 0x564D444Bu) << c.name;
    EXPECT_EQ(header.version, 1u) << c.name;
    EXPECT_EQ(header.flags, 3u) << c.name;
    EXPECT_EQ(header.capacity, c.headerCapacity) << c.name;
    EXPECT_EQ(header.grainSize, 128u) << c.name;
    EXPECT_EQ(header.descriptorOffset, c.descriptorOffset) << c.name;
    EXPECT_EQ(header.descriptorSize, c.descriptorSectors) << c.name;
    EXPECT_EQ(header.numGTEsPerGT, 512u) << c.name;
    EXPECT_EQ(header.rgdOffset, c.rgdOffset) << c.name;
    EXPECT_EQ(header.gdOffset, c.gdOffset) << c.name;
    EXPECT_EQ(header.overHead, c.overhead) << c.name;
    EXPECT_EQ(header.uncleanShutdown, 0) << c.name;
    EXPECT_EQ(header.singleEndLineChar, 0x0A) << c.name;
    EXPECT_EQ(header.nonEndLineChar, 0x20) << c.name;
    EXPECT_EQ(header.doubleEndLineChar1, 0x0D) << c.name;
    EXPECT_EQ(header.doubleEndLineChar2, 0x0A) << c.name;
  }
}

TEST(SparseLayoutTest, LayoutFromBytesDropsPartialSector) {
  constexpr uint64_t kMiB = uint64_t{1} << 20;
  EXPECT_EQ(layoutFromBytes(1024 * kMiB, 1), computeLayout(2097152, 1));
  EXPECT_EQ(layoutFromBytes(8 * kMiB + 511, 1), computeLayout(16384, 1));
  EXPECT_EQ(layoutFromBytes(8 * kMiB + 512, 1).grainCount, 129u);
  EXPECT_EQ(layoutFromBytes(511, 0), computeLayout(0, 0));
  EXPECT_EQ(layoutFromBytes(4505 * kMiB, 1).totalGrains, 72090u);
}

// The header of the 1 GiB image, byte by byte.
TEST(SparseLayoutTest, EncodedOneGibHeader) {
  SparseExtentHeader header;
  computeLayout(2097152, 1).fillHeader(header);
  const HeaderBytes expected = {
      'K',  'D',  'M',  'V',                           // 0 magicNumber
      0x01, 0x00, 0x00, 0x00,                          // 4 version
      0x03, 0x00, 0x00, 0x00,                          // 8 flags
      0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00,  // 12 capacity 0x200000
      0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 20 grainSize 128
      0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 28 descriptorOffset
      0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 36 descriptorSize 20
      0x00, 0x02, 0x00, 0x00,                          // 44 numGTEsPerGT 512
      0x15, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 48 rgdOffset 21
      0x96, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 56 gdOffset 150
      0x80, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 64 overHead 384
      0x00,                                            // 72 uncleanShutdown
      0x0A, 0x20, 0x0D, 0x0A,                          // 73 "\n \r\n"
  };
  EXPECT_EQ(encodeHeader(header), expected);
  EXPECT_EQ(decodeHeader(expected), header);
}

// Distinct bytes in every field show each field's offset, width and order.
TEST(SparseLayoutTest, EncodingPlacesEveryByte) {
  SparseExtentHeader header;
  header.magicNumber = 0x04030201;
  header.version = 0x08070605;
  header.flags = 0x0C0B0A09;
  header.capacity = 0x14131211100F0E0D;
  header.grainSize = 0x1C1B1A1918171615;
  header.descriptorOffset = 0x24232221201F1E1D;
  header.descriptorSize = 0x2C2B2A2928272625;
  header.numGTEsPerGT = 0x302F2E2D;
  header.rgdOffset = 0x3837363534333231;
  header.gdOffset = 0x403F3E3D3C3B3A39;
  header.overHead = 0x4847464544434241;
  header.uncleanShutdown = 0x49;
  header.singleEndLineChar = 0x4A;
  header.nonEndLineChar = 0x4B;
  header.doubleEndLineChar1 = 0x4C;
  header.doubleEndLineChar2 = 0x4D;
  HeaderBytes bytes = encodeHeader(header);
  for (size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], i + 1) << "byte " << i;
  EXPECT_EQ(decodeHeader(bytes), header);
}

TEST(SparseLayoutTest, Addressability) {
  constexpr uint64_t kTwoTo32 = uint64_t{1} << 32;
  struct Case {
    const char* name;
    uint64_t capacity;
    bool metadata, wholeFile;
  };
  const Case cases[] = {
      {"2047 GiB", 4292870144, true, true},
      // 33550328 grains: overhead 525312 + capacity 4294441984 is exactly 2^32.
      {"largest whole file", 4294441984, true, true},
      {"one grain more", 4294442112, true, false},
      {"2^32 sectors", kTwoTo32, true, false},
      // Metadata of 4294967293 sectors, padded to exactly 2^32.
      {"largest addressable metadata", 35115786371072, true, false},
      {"one sector more", 35115786371073, false, false},
      {"2^63 sectors", uint64_t{1} << 63, false, false},
      {"largest capacity", std::numeric_limits<uint64_t>::max(), false, false},
  };
  for (const Case& c : cases) {
    SparseLayout layout = computeLayout(c.capacity, 1);
    EXPECT_EQ(layout.metadataAddressable(), c.metadata) << c.name;
    EXPECT_EQ(layout.wholeFileAddressable(), c.wholeFile) << c.name;
  }
  // The arithmetic stays exact far beyond what a file can hold.
  SparseLayout huge = computeLayout(uint64_t{1} << 63, 1);
  EXPECT_EQ(huge.grainCount, uint64_t{1} << 56);
  EXPECT_EQ(huge.grainTableCount, uint64_t{1} << 47);
  EXPECT_EQ(huge.directorySectors, uint64_t{1} << 40);
  EXPECT_EQ(huge.overhead, 1128098930098304u);
  EXPECT_EQ(huge.totalGrains, 72066407310819329u);
  SparseLayout largest = computeLayout(std::numeric_limits<uint64_t>::max(), 0);
  EXPECT_EQ(largest.grainCount, uint64_t{1} << 57);
  EXPECT_EQ(largest.grainTableCount, uint64_t{1} << 48);
  EXPECT_EQ(largest.directorySectors, uint64_t{1} << 41);
}

}  // namespace
}  // namespace skarvel
