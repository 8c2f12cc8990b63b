// The single-file writer: where grains and their table entries land in the
// file, how short, empty and over-long grains are stored, out-of-range
// indexes, closing, and failed writes.
#include "writer/single_file_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "base/fatal_error.h"
#include "format/sparse_extent_file.h"
#include "format/sparse_layout.h"
#include "platform/file.h"
#include "skip_on_windows.h"
#include "test_files.h"

namespace skarvel {
namespace {

using test::Bytes;
using test::grainOf;
using test::le32At;
using test::readBytes;

constexpr uint64_t kGrain = 65536;

// An 8 MiB image with an embedded descriptor: 128 grains, one table per
// directory. Redundant directory at sector 21, its table at 22; primary
// directory at 26, its table at 27; grains from sector 128 (byte 65536).
constexpr uint64_t k8MiBSectors = 16384;
constexpr uint64_t kRedundantTable8M = 22 * 512;
constexpr uint64_t kPrimaryTable8M = 27 * 512;

class SingleFileWriterTest : public ::testing::Test {
 protected:
  std::unique_ptr<VMDKSingleFileWriter> create(uint64_t capacity) {
    SparseLayout layout = computeLayout(capacity, 1);
    int fd = createSparseExtent(path_, layout, nullptr, 0);
    return std::make_unique<VMDKSingleFileWriter>(fd, path_, layout);
  }

  // The 4-byte entry of |grain| in both tables of the 8 MiB image.
  void expectEntries8M(const Bytes& file, uint64_t grain, uint32_t sector) {
    EXPECT_EQ(le32At(file, kRedundantTable8M + 4 * grain), sector) << "grain " << grain;
    EXPECT_EQ(le32At(file, kPrimaryTable8M + 4 * grain), sector) << "grain " << grain;
  }

  test::ScopedTempDir dir_;
  std::string path_ = dir_.file("out.vmdk");
};

bool holdsGrain(const Bytes& file, uint64_t offset, const Bytes& grain) {
  return file.size() >= offset + kGrain &&
         std::equal(grain.begin(), grain.begin() + kGrain, file.begin() + offset);
}

TEST_F(SingleFileWriterTest, WorkedExampleOfAOneGibibyteImage) {
  // 2097152 sectors: 16384 grains in 32 tables, one directory sector each;
  // redundant directory at 21, primary at 150, overhead 384 sectors.
  auto writer = create(2097152);
  Bytes before = readBytes(path_);
  ASSERT_EQ(before.size(), 384u * 512);
  EXPECT_EQ(writer->nextFreeSector(), 384u);

  Bytes first = grainOf(0xA1), second = grainOf(0xB2);
  writer->writeGrain(0, first.data(), kGrain);
  EXPECT_EQ(writer->nextFreeSector(), 512u);
  // Grain 5000 is entry 392 of table 9.
  writer->writeGrain(5000, second.data(), kGrain);
  EXPECT_EQ(writer->nextFreeSector(), 640u);
  writer->close();

  Bytes file = readBytes(path_);
  ASSERT_EQ(file.size(), 262144u + kGrain);
  EXPECT_EQ(le32At(file, 11264), 384u);
  EXPECT_EQ(le32At(file, 77312), 384u);
  EXPECT_EQ(le32At(file, 31264), 512u);
  EXPECT_EQ(le32At(file, 97312), 512u);
  EXPECT_TRUE(holdsGrain(file, 196608, first));
  EXPECT_TRUE(holdsGrain(file, 262144, second));

  // Nothing else in the metadata changed: not the header, the descriptor
  // area, the directories or any other table entry.
  for (uint64_t offset = 0; offset < before.size(); offset += 4) {
    if (offset == 11264 || offset == 77312 || offset == 31264 || offset == 97312) continue;
    ASSERT_EQ(le32At(file, offset), le32At(before, offset)) << "byte " << offset;
  }
}

TEST_F(SingleFileWriterTest, GrainsLandInCallOrderNotIndexOrder) {
  auto writer = create(k8MiBSectors);
  Bytes seven = grainOf(7), three = grainOf(3);
  writer->writeGrain(7, seven.data(), kGrain);
  writer->writeGrain(3, three.data(), kGrain);
  writer->close();

  Bytes file = readBytes(path_);
  ASSERT_EQ(file.size(), 3 * kGrain);
  expectEntries8M(file, 7, 128);
  expectEntries8M(file, 3, 256);
  EXPECT_TRUE(holdsGrain(file, 65536, seven));
  EXPECT_TRUE(holdsGrain(file, 131072, three));
}

TEST_F(SingleFileWriterTest, ShortGrainsArePaddedWithZeros) {
  auto writer = create(k8MiBSectors);
  Bytes data = grainOf(0x5A);
  // Length 0 still allocates a whole grain of zeros, whatever |data| holds.
  writer->writeGrain(1, data.data(), 0);
  EXPECT_EQ(writer->nextFreeSector(), 256u);
  writer->writeGrain(2, data.data(), 1000);
  EXPECT_EQ(writer->nextFreeSector(), 384u);
  writer->close();

  Bytes file = readBytes(path_);
  ASSERT_EQ(file.size(), 3 * kGrain);
  expectEntries8M(file, 1, 128);
  expectEntries8M(file, 2, 256);
  EXPECT_TRUE(holdsGrain(file, 65536, grainOf(0)));
  Bytes expected = grainOf(0);
  std::fill(expected.begin(), expected.begin() + 1000, 0x5A);
  EXPECT_TRUE(holdsGrain(file, 131072, expected));
}

TEST_F(SingleFileWriterTest, LengthAboveOneGrainStoresOnlyOneGrain) {
  auto writer = create(k8MiBSectors);
  Bytes data(kGrain + 5000, 0x22);
  std::fill(data.begin(), data.begin() + kGrain, 0x11);
  writer->writeGrain(4, data.data(), static_cast<uint32_t>(data.size()));
  EXPECT_EQ(writer->nextFreeSector(), 256u);
  Bytes next = grainOf(0x33);
  writer->writeGrain(5, next.data(), kGrain);
  writer->close();

  Bytes file = readBytes(path_);
  ASSERT_EQ(file.size(), 3 * kGrain);
  expectEntries8M(file, 4, 128);
  expectEntries8M(file, 5, 256);
  EXPECT_TRUE(holdsGrain(file, 65536, grainOf(0x11)));
  EXPECT_TRUE(holdsGrain(file, 131072, next));
}

TEST_F(SingleFileWriterTest, IndexAtOrPastGrainCountWritesNothing) {
  auto writer = create(k8MiBSectors);  // grains 0..127
  Bytes before = readBytes(path_);
  Bytes data = grainOf(0x77);
  writer->writeGrain(128, data.data(), kGrain);
  writer->writeGrain(UINT64_MAX, data.data(), kGrain);
  EXPECT_EQ(writer->nextFreeSector(), 128u);
  EXPECT_EQ(readBytes(path_), before);

  // The last valid index is still written, at the overhead.
  writer->writeGrain(127, data.data(), kGrain);
  writer->close();
  Bytes file = readBytes(path_);
  ASSERT_EQ(file.size(), 2 * kGrain);
  expectEntries8M(file, 127, 128);
}

TEST_F(SingleFileWriterTest, ClosingTwiceClosesTheFileOnce) {
  auto writer = create(k8MiBSectors);
  Bytes data = grainOf(1);
  writer->writeGrain(0, data.data(), kGrain);
  writer->close();

  // The freed descriptor number is handed out again; a second close or the
  // destructor must not close this unrelated file.
  int other = platform::openFile(path_, platform::kOpenReadOnly);
  ASSERT_GE(other, 0);
  writer->close();
  writer.reset();
  uint8_t magic[4] = {};
  EXPECT_EQ(platform::readFile(other, magic, 4), 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(magic), 4), "KDMV");
  EXPECT_TRUE(platform::closeFile(other));
  EXPECT_EQ(test::fileSize(path_), 2 * kGrain);
}

TEST_F(SingleFileWriterTest, DestroyingAnOpenWriterClosesItsFile) {
  SparseLayout layout = computeLayout(k8MiBSectors, 1);
  int fd = createSparseExtent(path_, layout, nullptr, 0);
  auto writer = std::make_unique<VMDKSingleFileWriter>(fd, path_, layout);
  writer.reset();
  uint8_t byte = 0;
  EXPECT_EQ(platform::readFile(fd, &byte, 1), -1);
}

TEST_F(SingleFileWriterTest, FailedWriteEndsWithTheFileName) {
  SKARVEL_SKIP_ON_WINDOWS("a device that is always full (/dev/full)");
  SparseLayout layout = computeLayout(k8MiBSectors, 1);
  int fd = platform::openFile("/dev/full", platform::kOpenReadWrite);
  ASSERT_GE(fd, 0);
  VMDKSingleFileWriter writer(fd, "/dev/full", layout);
  Bytes data = grainOf(9);
  // Grains are gathered, so the failure shows at the latest when closing.
  try {
    writer.writeGrain(0, data.data(), kGrain);
    writer.close();
    FAIL() << "a write to a full device went unnoticed";
  } catch (const FatalError& error) {
    EXPECT_EQ(std::string(error.what()), "Failed to write file /dev/full");
  }
}

}  // namespace
}  // namespace skarvel
