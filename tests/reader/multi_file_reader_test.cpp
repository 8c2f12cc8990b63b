// Reading a split image: a descriptor file whose extent lines list sparse
// extent files. Covers routing grains across extents, capacities taken from
// the extent headers, where extent names are looked up, and the extents that
// end the run (missing, not sparse, not a sparse extent file).
#include "reader/multi_file_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "image_builder.h"
#include "platform/file.h"
#include "reader/open_image.h"
#include "run_tool.h"
#include "test_files.h"

namespace skarvel {
namespace {

using test::Bytes;
using test::ExtentFixture;
using test::ScopedTempDir;

constexpr int kReadOnly = platform::kOpenBinary | platform::kOpenReadOnly;

Bytes grainAt(VMDKReader& reader, uint64_t grain) {
  Bytes buffer(65536);
  buffer.resize(reader.readGrain(grain, buffer.data(), 65536));
  return buffer;
}

class MultiFileReaderTest : public ::testing::Test {
 protected:
  // Writes an extent file without embedded descriptor.
  void extent(const std::string& name, uint64_t capacity, std::map<uint64_t, Bytes> grains = {}) {
    ExtentFixture fixture;
    fixture.capacity = capacity;
    fixture.grains = std::move(grains);
    test::writeSparseExtentFile(dir_.file(name), fixture);
  }
  void descriptorFile(const std::string& name, const std::string& extentLines) {
    test::writeText(dir_.file(name), test::descriptorText(0x51, 0xFFFFFFFF, "",
                                                          "twoGbMaxExtentSparse", extentLines));
  }
  // Runs "info |name|" in the temp dir and expects it to end with |message|.
  void expectInfoFails(const std::string& name, const std::string& message) {
    test::RunResult run = test::runSkarvel({"info", name}, dir_.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, message + "\n");
    EXPECT_EQ(run.out, "");
  }

  ScopedTempDir dir_;
};

TEST_F(MultiFileReaderTest, RoutesGrainsAcrossExtentBoundaries) {
  // Two extents of 4194304 sectors, 32768 grains each.
  extent("disk-s001.vmdk", 4194304, {{0, test::grainOf(0x10)}, {32767, test::grainOf(0x11)}});
  extent("disk-s002.vmdk", 4194304,
         {{0, test::grainOf(0x20)}, {32766, test::grainOf(0x21)}, {32767, test::grainOf(0x22)}});
  descriptorFile("disk.vmdk",
                 "RW 4194304 SPARSE \"disk-s001.vmdk\"\nRW 4194304 SPARSE \"disk-s002.vmdk\"\n");
  auto reader = openImage(dir_.file("disk.vmdk"), kReadOnly);
  ASSERT_NE(dynamic_cast<VMDKMultiFileReader*>(reader.get()), nullptr);
  EXPECT_TRUE(reader->isMultiFile());
  EXPECT_EQ(reader->capacity(), 8388608u);

  struct Read {
    uint64_t grain;
    int fill;  // -1: nothing delivered
  } reads[] = {{0, 0x10},     {32767, 0x11}, {32768, 0x20}, {65534, 0x21},
               {65535, 0x22}, {65536, -1},   {32766, -1},   {UINT64_MAX, -1}};
  for (const Read& r : reads) {
    SCOPED_TRACE(r.grain);
    Bytes data = grainAt(*reader, r.grain);
    if (r.fill < 0) {
      EXPECT_TRUE(data.empty());  // grain 32766 of the second extent is not asked
    } else {
      EXPECT_TRUE(data == test::grainOf(static_cast<uint8_t>(r.fill)));
    }
  }

  // A monolithic image of 8388608 sectors with a descriptor area: 65536
  // grains, 128 tables, 1 directory sector, 1 + 20 + 2 x (1 + 512) = 1047
  // metadata sectors rounded up to 1152.
  const SparseLayout& layout = reader->layout();
  EXPECT_EQ(layout.grainCount, 65536u);
  EXPECT_EQ(layout.grainTableCount, 128u);
  EXPECT_EQ(layout.directorySectors, 1u);
  EXPECT_EQ(layout.descriptorSectors, 20u);
  EXPECT_EQ(layout.overhead, 1152u);
  EXPECT_EQ(layout.totalGrains, 9u + 65536u);

  EXPECT_EQ(static_cast<VMDKMultiFileReader&>(*reader).extents().size(), 2u);
  EXPECT_EQ(reader->descriptor().createType, "twoGbMaxExtentSparse");
}

TEST_F(MultiFileReaderTest, HeaderCapacityWinsOverTheLineSize) {
  // 16256 sectors are 127 grains; the last extent of 16320 sectors ends
  // inside its 128th. The lines' sizes are wrong on purpose.
  extent("a.vmdk", 16256, {{126, test::grainOf(0xA6)}});
  extent("b.vmdk", 16320, {{0, test::grainOf(0xB0)}, {127, test::grainOf(0xB7)}});
  descriptorFile("disk.vmdk", "RW 100 SPARSE \"a.vmdk\"\nRW 99999999 SPARSE \"b.vmdk\"\n");
  auto reader = openImage(dir_.file("disk.vmdk"), kReadOnly);
  EXPECT_EQ(reader->capacity(), 32576u);
  EXPECT_EQ(reader->grainCount(), 255u);
  EXPECT_TRUE(grainAt(*reader, 126) == test::grainOf(0xA6));
  EXPECT_TRUE(grainAt(*reader, 127) == test::grainOf(0xB0));
  EXPECT_TRUE(grainAt(*reader, 254) == Bytes(32768, 0xB7));  // stops with the disk
  EXPECT_TRUE(grainAt(*reader, 255).empty());
}

TEST_F(MultiFileReaderTest, RelativeNamesResolveAgainstTheDescriptorDirectory) {
  std::filesystem::create_directory(dir_.file("images"));
  extent("images/disk-s001.vmdk", 16384);
  descriptorFile("images/disk.vmdk", "RW 16384 SPARSE \"disk-s001.vmdk\"\n");
  extent("disk-s001.vmdk", 32768);  // a stranger in the working directory
  test::RunResult run = test::runSkarvel({"info", "images/disk.vmdk"}, dir_.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Capacity       : 16384 Sectors, 0 GBytes\n"), std::string::npos)
      << run.out;
  // The same descriptor file named without a directory, from its own one.
  run = test::runSkarvel({"info", "disk.vmdk"}, dir_.file("images"));
  EXPECT_NE(run.out.find("Capacity       : 16384 Sectors, 0 GBytes\n"), std::string::npos)
      << run.out;
}

TEST_F(MultiFileReaderTest, AbsoluteNamesAreOpenedUnchanged) {
  std::filesystem::create_directory(dir_.file("data"));
  std::filesystem::create_directory(dir_.file("desc"));
  extent("data/x.vmdk", 16384, {{3, test::grainOf(0x33)}});
  extent("desc/x.vmdk", 16384, {{3, test::grainOf(0xEE)}});
  descriptorFile("desc/disk.vmdk", "RW 16384 SPARSE \"" + dir_.file("data/x.vmdk") + "\"\n");
  auto reader = openImage(dir_.file("desc/disk.vmdk"), kReadOnly);
  EXPECT_TRUE(grainAt(*reader, 3) == test::grainOf(0x33));
}

TEST_F(MultiFileReaderTest, DescriptorWithoutExtentLinesIsNoImage) {
  test::writeText(dir_.file("notes.vmdk"), "# nothing here\n# nor here\n");
  expectInfoFails("notes.vmdk", "Unsupported image file notes.vmdk");
  // Four words are no extent line without an access word first.
  descriptorFile("prose.vmdk", "This is a text.\n");
  expectInfoFails("prose.vmdk", "Unsupported image file prose.vmdk");
  // Nor is a disk larger than 64 bits count.
  descriptorFile("huge.vmdk", "RW 9223372036854775808 ZERO\nRW 9223372036854775808 ZERO\n");
  expectInfoFails("huge.vmdk", "Unsupported image file huge.vmdk");
}

TEST_F(MultiFileReaderTest, ExtentsThatEndTheRun) {
  extent("disk-s001.vmdk", 16384);
  extent("disk-s003.vmdk", 16384);
  extent("odd.vmdk", 8191);
  test::writeText(dir_.file("notes.txt"), "RW 16384 SPARSE \"x.vmdk\"\n");
  ExtentFixture v4;
  v4.capacity = 16384;
  v4.version = 4;
  test::writeSparseExtentFile(dir_.file("v4.vmdk"), v4);
  std::filesystem::create_directory(dir_.file("images"));

  struct Case {
    const char* lines;
    const char* message;
  } cases[] = {
      {"RW 16384 SPARSE \"disk-s001.vmdk\"\nRW 16384 SPARSE \"disk-s002.vmdk\"\n"
       "RW 16384 SPARSE \"disk-s003.vmdk\"\n",
       "Failed to open disk-s002.vmdk"},
      // The type is refused before the file is looked for.
      {"RW 16384 VMFS \"disk-flat.vmdk\"\n", "Unsupported extent file disk-flat.vmdk"},
      {"RW 16384 SPARSE \"disk-s001.vmdk\"\nRW 16384 SESPARSE \"disk-s003.vmdk\"\n",
       "Unsupported extent file disk-s003.vmdk"},
      {"RW 16384 SPARSE \"notes.txt\"\n", "Unsupported extent file notes.txt"},
      {"RW 16384 SPARSE \"v4.vmdk\"\n", "Unsupported extent file v4.vmdk"},
      {"RW 16384 FLAT \"disk-f001.vmdk\" 0\n", "Failed to open disk-f001.vmdk"},
      // Only the last extent may end inside a grain.
      {"RW 8191 SPARSE \"odd.vmdk\"\nRW 16384 SPARSE \"disk-s001.vmdk\"\n",
       "Unsupported extent file odd.vmdk"},
      {"RW 100 ZERO\nRW 16384 SPARSE \"disk-s001.vmdk\"\n", "Unsupported extent file disk.vmdk"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    descriptorFile("disk.vmdk", c.lines);
    expectInfoFails("disk.vmdk", c.message);
  }

  // The message names the path as built from the descriptor's directory.
  descriptorFile("images/disk.vmdk", "RW 16384 SPARSE \"disk-s001.vmdk\"\n");
  expectInfoFails("images/disk.vmdk", "Failed to open images/disk-s001.vmdk");
}

// Extents of every kind end to end, in whole grains: a sparse one of 128
// grains, a flat one of 64 read from sector 2048 of its file, a zero one of
// 32 and a flat one of 1000 sectors (7 grains and 104 sectors).
TEST_F(MultiFileReaderTest, FlatAndZeroExtentsBetweenSparseOnes) {
  extent("a.vmdk", 16384, {{5, test::grainOf(0x05)}});
  // Sectors 0-2047 of f.bin lie before the extent: filled, never read.
  std::map<uint64_t, Bytes> flat = {{17, test::grainOf(0xF1)}};
  for (uint64_t g = 0; g < 16; ++g) flat[g] = test::grainOf(0xEE);
  test::writeFlatFile(dir_.file("f.bin"), 2048 + 8192, flat);
  test::writeFlatFile(dir_.file("g.bin"), 1000, {{7, test::grainOf(0x77)}});
  descriptorFile("disk.vmdk",
                 "RW 16384 SPARSE \"a.vmdk\"\nRW 8192 FLAT \"f.bin\" 2048\nRW 4096 ZERO\n"
                 "RDONLY 1000 FLAT \"g.bin\" 0\n");
  auto reader = openImage(dir_.file("disk.vmdk"), kReadOnly);
  EXPECT_EQ(reader->capacity(), 16384u + 8192 + 4096 + 1000);
  EXPECT_EQ(reader->grainCount(), 232u);
  const struct {
    uint64_t grain;
    uint32_t result;  // bytes, or kZeroedGrain
    int fill;
  } reads[] = {{5, 65536, 0x05},
               {6, 0, 0},
               {128, kZeroedGrain, 0},  // zeros in a flat extent hide a parent's grain
               {129, 65536, 0xF1},
               {130, kZeroedGrain, 0},
               {192, kZeroedGrain, 0},
               {223, kZeroedGrain, 0},
               {224, kZeroedGrain, 0},
               {231, 53248, 0x77},
               {232, 0, 0}};
  // In order, then backwards and again in order, through the same reader.
  for (int pass = 0; pass < 3; ++pass) {
    for (size_t k = 0; k < std::size(reads); ++k) {
      const auto& r = reads[pass == 1 ? std::size(reads) - 1 - k : k];
      SCOPED_TRACE(testing::Message() << "pass " << pass << ", grain " << r.grain);
      Bytes buffer(65536);
      ASSERT_EQ(reader->readGrain(r.grain, buffer.data(), 65536), r.result);
      if (r.result != kZeroedGrain && r.result != 0) {
        EXPECT_EQ(std::count(buffer.begin(), buffer.begin() + r.result, r.fill), r.result);
      }
    }
  }
}

}  // namespace
}  // namespace skarvel
