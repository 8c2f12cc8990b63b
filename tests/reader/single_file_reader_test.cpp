// Opening an image and reading one sparse extent file: which reader the
// opener picks, grain lookup through the primary directory and its tables,
// short and absent grains, the embedded descriptor, and headers whose
// metadata no 32-bit entry could address.
#include "reader/single_file_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/fatal_error.h"
#include "image_builder.h"
#include "platform/file.h"
#include "reader/multi_file_reader.h"
#include "reader/open_image.h"
#include "run_tool.h"
#include "test_files.h"

namespace skarvel {
namespace {

using test::Bytes;
using test::ExtentFixture;
using test::ScopedTempDir;

constexpr int kReadOnly = platform::kOpenBinary | platform::kOpenReadOnly;

// Overwrites |width| little-endian bytes at byte |offset| of a file.
void patchFile(const std::string& path, uint64_t offset, uint64_t value, int width) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(static_cast<std::streamoff>(offset));
  for (int i = 0; i < width; ++i) file.put(static_cast<char>(value >> (8 * i)));
}

// A grain whose bytes differ from position to position, so that a read from
// the wrong place or a shifted read shows.
Bytes patterned(uint8_t seed, size_t size = 65536) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
  return bytes;
}

// The bytes readGrain delivers for |grain|, cut to the count it returned.
Bytes grainAt(VMDKReader& reader, uint64_t grain, uint32_t length = 65536) {
  Bytes buffer(length);
  buffer.resize(reader.readGrain(grain, buffer.data(), length));
  return buffer;
}

std::string failureOf(const std::string& path) {
  try {
    openImage(path, kReadOnly);
  } catch (const FatalError& error) {
    return error.what();
  }
  return "no failure";
}

class OpenImageTest : public ::testing::Test {
 protected:
  ScopedTempDir dir_;
};

TEST_F(OpenImageTest, ChoosesTheReaderByMagicAndVersion) {
  // Magic and version, then zeros but for a grain size of 128 (byte 20) and
  // tables of 512 entries (byte 44): 48 bytes, and the rest of the sector.
  auto header = [](char version, const std::string& rest) {
    std::string bytes = "KDMV" + std::string(1, version) + std::string(43, '\0') + rest;
    bytes[20] = '\x80';
    bytes[45] = '\x02';
    return bytes + std::string(512 - bytes.size(), '\0');
  };
  struct Case {
    const char* name;
    std::string bytes;
    bool single;
  } cases[] = {
      {"version 2", header(2, ""), true},
      {"version 3", header(3, ""), true},
      {"version 1 then text", header(1, "junk"), true},
      {"descriptor with an extent line", "RW 1 ZERO\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir_.file("probe.vmdk");
    test::writeText(path, c.bytes);
    std::unique_ptr<VMDKReader> reader = openImage(path, kReadOnly);
    EXPECT_EQ(dynamic_cast<VMDKSingleFileReader*>(reader.get()) != nullptr, c.single);
    EXPECT_EQ(dynamic_cast<VMDKMultiFileReader*>(reader.get()) != nullptr, !c.single);
    EXPECT_EQ(reader->isMultiFile(), !c.single);
    // None of these holds a grain.
    EXPECT_EQ(reader->capacity(), c.single ? 0u : 1u);
    Bytes buffer(65536);
    EXPECT_EQ(reader->readGrain(0, buffer.data(), 65536), c.single ? 0u : kZeroedGrain);
  }
}

TEST_F(OpenImageTest, FailuresEndTheRun) {
  // A directory holds no image: it is refused when opened, not read as an
  // empty descriptor file.
  std::filesystem::create_directory(dir_.file("sub"));
  const struct {
    const char* path;
    const char* message;
  } cases[] = {{"missing.vmdk", "Failed to open missing.vmdk"},
               {"sub", "Failed to open sub"},
               {"short.vmdk", "Unsupported image file short.vmdk"}};
  // The magic and version 1 alone: no grain size, so no image.
  test::writeText(dir_.file("short.vmdk"), std::string("KDMV\x01\0\0\0", 8));
  for (const auto& c : cases) {
    test::RunResult run = test::runSkarvel({"info", c.path}, dir_.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, std::string(c.message) + "\n");
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(failureOf(dir_.file("missing.vmdk")), "Failed to open " + dir_.file("missing.vmdk"));
}

class SingleFileReaderTest : public ::testing::Test {
 protected:
  std::string path() const { return dir_.file("disk.vmdk"); }
  std::unique_ptr<VMDKReader> open() const { return openImage(path(), kReadOnly); }

  ScopedTempDir dir_;
};

TEST_F(SingleFileReaderTest, ReadsAllocatedGrainsThroughThePrimaryDirectory) {
  ExtentFixture fixture;
  fixture.capacity = 131072;  // 1024 grains, two tables
  fixture.grains = {{0, patterned(1)},
                    {5, patterned(2)},
                    {511, patterned(3)},
                    {512, patterned(4)},
                    {1023, patterned(5)}};
  test::BuiltExtent built = test::writeSparseExtentFile(path(), fixture);
  auto reader = open();
  for (const auto& [grain, data] : fixture.grains)
    EXPECT_TRUE(grainAt(*reader, grain) == data) << grain;
  // Unallocated entries of both tables, next to allocated ones.
  for (uint64_t grain : {1u, 4u, 6u, 510u, 513u, 1022u}) {
    EXPECT_TRUE(grainAt(*reader, grain).empty()) << grain;
  }

  // The primary directory loses table 1, the redundant one table 0: only
  // the primary one is consulted.
  patchFile(path(), built.gdOffset * 512 + 4, 0, 4);
  patchFile(path(), built.rgdOffset * 512, 0, 4);
  reader = open();
  EXPECT_TRUE(grainAt(*reader, 0) == fixture.grains[0]);
  EXPECT_TRUE(grainAt(*reader, 512).empty());
  EXPECT_TRUE(grainAt(*reader, 1023).empty());
  // No entries per table: an invalid header, refused before anything
  // divides by 0.
  patchFile(path(), 44, 0, 4);
  EXPECT_EQ(failureOf(path()), "Invalid sparse extent header in " + path());
}

TEST_F(SingleFileReaderTest, IndexAtGrainCountReadsNothing) {
  // 16385 sectors are 129 grains, the last one partial, but table 0 has
  // room for 512. Its entry 129 is made to point at grain 0's data: only
  // the bound keeps it unread.
  ExtentFixture fixture;
  fixture.capacity = 16385;
  fixture.grains = {{0, patterned(1)}, {128, patterned(2)}};
  test::BuiltExtent built = test::writeSparseExtentFile(path(), fixture);
  uint64_t table0 = built.gdOffset + 1;  // after one directory sector
  patchFile(path(), table0 * 512 + 129 * 4, built.grainSector[0], 4);
  auto reader = open();
  EXPECT_EQ(reader->capacity(), 16385u);
  EXPECT_EQ(reader->grainCount(), 129u);
  // The last grain stops with the disk: one sector of it.
  const Bytes& last = fixture.grains[128];
  EXPECT_TRUE(grainAt(*reader, 128) == Bytes(last.begin(), last.begin() + 512));
  EXPECT_TRUE(grainAt(*reader, 129).empty());
  EXPECT_TRUE(grainAt(*reader, UINT64_MAX).empty());
}

TEST_F(SingleFileReaderTest, FourGibImageStopsAtGrain65536) {
  // 8388608 sectors: 65536 grains in 128 tables, whose 128 directory
  // entries fill exactly one sector; table 0 follows at once. Directory
  // index 128 would therefore read table 0's entry 0, which holds grain 0's
  // sector (1152, the overhead: 1 + 2 x (1 + 512) = 1027 rounded up to 128),
  // and grain 0's data begins with that sector number again.
  Bytes first = patterned(1);
  first[0] = 0x80;  // 1152 = 0x480, little-endian
  first[1] = 0x04;
  first[2] = first[3] = 0;
  ExtentFixture fixture;
  fixture.capacity = 8388608;
  fixture.grains = {{0, first}, {65535, patterned(2)}};
  test::BuiltExtent built = test::writeSparseExtentFile(path(), fixture);
  ASSERT_EQ(built.grainSector[0], 1152u);
  auto reader = open();
  EXPECT_EQ(reader->grainCount(), 65536u);
  EXPECT_TRUE(grainAt(*reader, 65535) == fixture.grains[65535]);
  EXPECT_TRUE(grainAt(*reader, 65536).empty());
  EXPECT_TRUE(grainAt(*reader, 65537).empty());
}

TEST_F(SingleFileReaderTest, GrainCutShortByTheEndOfTheFile) {
  ExtentFixture fixture;
  fixture.capacity = 16384;
  fixture.grains = {{2, patterned(1)}, {9, patterned(2, 1000)}};
  test::writeSparseExtentFile(path(), fixture);
  auto reader = open();
  EXPECT_TRUE(grainAt(*reader, 2) == fixture.grains[2]);
  EXPECT_TRUE(grainAt(*reader, 9) == fixture.grains[9]);

  // A table entry that points at or past the end of the file: nothing.
  fixture.grains = {{3, patterned(3)}};
  fixture.truncateTo = 128 * 512;  // the overhead: 1 + 2 x (1 + 4) = 11 rounded up
  test::BuiltExtent built = test::writeSparseExtentFile(path(), fixture);
  ASSERT_EQ(built.grainSector[3], 128u);
  EXPECT_TRUE(grainAt(*open(), 3).empty());
}

TEST_F(SingleFileReaderTest, DeliversNoMoreThanAskedOrThanOneGrain) {
  ExtentFixture fixture;
  fixture.capacity = 16384;
  fixture.grains = {{1, patterned(1)}};
  test::writeSparseExtentFile(path(), fixture);
  const Bytes& data = fixture.grains[1];
  // The buffer is exactly 512 bytes: writing past it is an overflow.
  EXPECT_TRUE(grainAt(*open(), 1, 512) == Bytes(data.begin(), data.begin() + 512));
  EXPECT_EQ(grainAt(*open(), 1, 100000).size(), 65536u);

  // Grains of another size would need another grain numbering: such a
  // file is not read at all, rather than read wrong.
  fixture.grainSize = 64;
  test::writeSparseExtentFile(path(), fixture);
  EXPECT_EQ(failureOf(path()), "Unsupported image file " + path());
}

TEST_F(SingleFileReaderTest, GrainsStoredInReverseOrder) {
  // Lay the data down in ascending order with the contents mirrored, then
  // point the primary table entries at the mirrored places: the highest
  // grain ends up first in the file, the lowest last.
  const std::vector<uint64_t> grains = {0, 1, 300, 700};
  ExtentFixture fixture;
  fixture.capacity = 131072;
  for (size_t i = 0; i < grains.size(); ++i) {
    fixture.grains[grains[i]] = patterned(static_cast<uint8_t>(grains.size() - i));
  }
  test::BuiltExtent built = test::writeSparseExtentFile(path(), fixture);
  for (size_t i = 0; i < grains.size(); ++i) {
    uint64_t grain = grains[grains.size() - 1 - i];
    uint64_t table = built.gdOffset + 1 + 4 * (grain / 512);
    patchFile(path(), table * 512 + 4 * (grain % 512), built.grainSector.at(grains[i]), 4);
  }
  auto reader = open();
  for (size_t i = 0; i < grains.size(); ++i) {
    EXPECT_TRUE(grainAt(*reader, grains[i]) == patterned(static_cast<uint8_t>(i + 1))) << grains[i];
  }
}

TEST_F(SingleFileReaderTest, EmbeddedDescriptorNeedsOffsetAndSize) {
  ExtentFixture fixture;
  fixture.capacity = 16384;
  fixture.descriptor = test::descriptorText(0x1a2b, 0x77, "base.vmdk", "custom", "");
  fixture.grains = {{4, patterned(4)}};
  test::writeSparseExtentFile(path(), fixture);
  auto reader = open();
  EXPECT_EQ(reader->descriptor().CID, 0x1a2bu);
  EXPECT_EQ(reader->descriptor().parentCID, 0x77u);
  EXPECT_EQ(reader->descriptor().parentFileNameHint, "base.vmdk");
  EXPECT_EQ(reader->descriptor().createType, "custom");
  EXPECT_EQ(reader->descriptor().adapterType, "ide");
  EXPECT_EQ(reader->layout().descriptorSectors, 20u);

  // Without either field the text is not read: the defaults stand.
  for (uint64_t field : {28u /* descriptorOffset */, 36u /* descriptorSize */}) {
    SCOPED_TRACE(field);
    test::writeSparseExtentFile(path(), fixture);
    patchFile(path(), field, 0, 8);
    reader = open();
    const DiskDescriptor& d = reader->descriptor();
    EXPECT_EQ(d.version, 1);
    EXPECT_EQ(d.parentCID, 0xFFFFFFFFu);
    EXPECT_EQ(d.parentFileNameHint, "");
    EXPECT_EQ(d.createType, "monolithicSparse");
    EXPECT_EQ(d.virtualHWVersion, 4);
    EXPECT_EQ(d.adapterType, "lsilogic");
    EXPECT_EQ(reader->layout().descriptorSectors, 0u);
    EXPECT_TRUE(grainAt(*reader, 4) == fixture.grains[4]);
  }
}

TEST_F(SingleFileReaderTest, DescriptorBeyondTwoGibIsReached) {
  ExtentFixture fixture;
  fixture.capacity = 16384;
  fixture.descriptor = "ddb.adapterType = \"ide\"\n";
  test::writeSparseExtentFile(path(), fixture);
  constexpr uint64_t kFar = 4194305;  // the first byte lies past 2^31
  patchFile(path(), 28, kFar, 8);
  std::fstream file(path(), std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(static_cast<std::streamoff>(kFar * 512));  // leaves a hole, no data
  file << "ddb.adapterType = \"buslogic\"\n";
  file.close();
  EXPECT_EQ(open()->descriptor().adapterType, "buslogic");
}

TEST_F(SingleFileReaderTest, CapacityInWholeUnits) {
  struct Case {
    uint64_t capacity;
    char unit;
    uint64_t expected;
  } cases[] = {{4194303, 'G', 1},    {2097151, 'G', 0}, {2097152, 'G', 1}, {4194303, 'x', 1},
               {4194303, 'M', 2047}, {2047, 'M', 0},    {2048, 'M', 1}};
  for (const Case& c : cases) {
    ExtentFixture fixture;
    fixture.capacity = c.capacity;
    test::writeSparseExtentFile(path(), fixture);
    EXPECT_EQ(open()->capacityIn(c.unit), c.expected) << c.capacity << c.unit;
  }
}

TEST_F(SingleFileReaderTest, AbsurdHeadersAreRefused) {
  struct Case {
    const char* name;
    uint64_t offset;
    uint64_t value;
  } cases[] = {
      {"capacity 2^62", 12, uint64_t{1} << 62},
      {"capacity 2^64 - 1", 12, UINT64_MAX},
      {"gdOffset 2^32", 56, uint64_t{1} << 32},
      {"descriptorOffset 2^40", 28, uint64_t{1} << 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExtentFixture fixture;
    fixture.capacity = 16384;
    fixture.descriptor = "version=1\n";
    test::writeSparseExtentFile(path(), fixture);
    patchFile(path(), c.offset, c.value, 8);
    EXPECT_EQ(failureOf(path()), "Invalid sparse extent header in " + path());
  }
  test::RunResult run = test::runSkarvel({"info", "disk.vmdk"}, dir_.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Invalid sparse extent header in disk.vmdk\n");
  EXPECT_EQ(run.out, "");
}

TEST_F(SingleFileReaderTest, CapacityAboveTwoTibIsAccepted) {
  ExtentFixture fixture;
  fixture.capacity = 16384;
  fixture.grains = {{0, patterned(1)}};
  test::writeSparseExtentFile(path(), fixture);
  constexpr uint64_t kFourTib = uint64_t{1} << 33;
  patchFile(path(), 12, kFourTib, 8);
  auto reader = open();
  EXPECT_EQ(reader->capacity(), kFourTib);
  EXPECT_EQ(reader->grainCount(), uint64_t{1} << 26);
  EXPECT_TRUE(grainAt(*reader, 0) == fixture.grains[0]);
  // Directory entries past the end of this small file read as absent.
  EXPECT_TRUE(grainAt(*reader, (uint64_t{1} << 26) - 1).empty());
}

// Version 2: with flag bit 2 a table entry of 1 is a zeroed grain, told apart
// from an absent one; without the flag it is an ordinary sector number.
TEST_F(SingleFileReaderTest, ZeroedGrainsAreNotAbsentGrains) {
  ExtentFixture fixture;
  fixture.capacity = 131072;
  fixture.version = 2;
  fixture.flags = 7;
  fixture.grains = {{0, patterned(1)}};
  fixture.zeroedGrains = {1, 600};
  test::writeSparseExtentFile(path(), fixture);
  auto reader = open();
  Bytes buffer(65536);
  EXPECT_TRUE(grainAt(*reader, 0) == fixture.grains[0]);
  EXPECT_EQ(reader->readGrain(1, buffer.data(), 65536), kZeroedGrain);
  EXPECT_EQ(reader->readGrain(600, buffer.data(), 65536), kZeroedGrain);
  EXPECT_EQ(reader->readGrain(2, buffer.data(), 65536), 0u);
  fixture.flags = 3;
  test::writeSparseExtentFile(path(), fixture);
  EXPECT_EQ(open()->readGrain(1, buffer.data(), 65536), 65536u);  // sector 1 on
}

// Version 3: grains inflate from behind their markers, with the directory
// named by the header or only by the footer. 2000 sectors are 15 grains and
// 80 sectors (40960 bytes).
TEST_F(SingleFileReaderTest, StreamOptimizedGrainsInflate) {
  for (bool inFooter : {false, true}) {
    SCOPED_TRACE(inFooter ? "footer" : "header");
    ExtentFixture fixture;
    fixture.capacity = 2000;
    fixture.streamOptimized = true;
    fixture.directoryInFooter = inFooter;
    fixture.descriptor = "createType=\"streamOptimized\"\n";
    fixture.grains = {{0, patterned(1)}, {3, Bytes(65536, 0)}, {15, patterned(3, 40960)}};
    fixture.reverseGrainOrder = true;
    test::writeSparseExtentFile(path(), fixture);
    auto reader = open();
    EXPECT_EQ(reader->capacity(), 2000u);
    EXPECT_EQ(reader->descriptor().createType, "streamOptimized");
    for (const auto& [grain, data] : fixture.grains) {
      EXPECT_TRUE(grainAt(*reader, grain) == data) << grain;
    }
    EXPECT_TRUE(grainAt(*reader, 1).empty());
    EXPECT_TRUE(grainAt(*reader, 16).empty());
    Bytes head = patterned(1);
    head.resize(512);
    EXPECT_TRUE(grainAt(*reader, 0, 512) == head);
  }
}

}  // namespace
}  // namespace skarvel
