// Creating an empty sparse extent file: the sector map read back from disk
// (header, descriptor area, both directories, zero tables, padding, length),
// the descriptor text, replacing an existing file, refused and failed writes,
// and a peer tool's view of a new 1 GiB image.
#include "format/sparse_extent_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "base/fatal_error.h"
#include "format/descriptor.h"
#include "platform/file.h"
#include "run_tool.h"
#include "test_files.h"

namespace skarvel {
namespace {

using test::Bytes;
using test::le32At;
using test::le64At;

constexpr uint64_t kSector = 512;

// What a created file must hold, from the sector map worked out by hand.
struct MapCase {
  const char* name;
  uint64_t capacity;
  int embedded;
  uint64_t rgdOffset, gdOffset, directorySectors, tables;
  uint32_t firstRedundantEntry, lastRedundantEntry;
  uint32_t firstPrimaryEntry, lastPrimaryEntry;
  uint64_t lastMetadataSector, fileBytes;
};

const MapCase kMaps[] = {
    {"8 MiB", 16384, 1, 21, 26, 1, 1, 22, 22, 27, 27, 30, 65536},
    {"1 GiB", 2097152, 1, 21, 150, 1, 32, 22, 146, 151, 275, 278, 196608},
    {"2047 MiB extent", 4192256, 0, 1, 258, 1, 64, 2, 254, 259, 511, 514, 327680},
    {"4505 MiB", 9226240, 1, 21, 587, 2, 141, 23, 583, 589, 1149, 1152, 655360},
};

// Creates |path| and returns its bytes, checking the open descriptor on the way.
Bytes createAndRead(const std::string& path, const SparseLayout& layout, const char* text,
                    uint32_t length) {
  int fd = createSparseExtent(path, layout, text, length);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(platform::readFile(fd, std::string(1, 0).data(), 1), 0);  // at the end
#ifndef _WIN32  // the runtime keeps no access mode to ask for
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
#endif
  platform::closeFile(fd);
  return test::readBytes(path);
}

// Checks one directory's entries and zeroes them in |bytes|.
void checkDirectory(Bytes& bytes, const MapCase& c, uint64_t offset, uint32_t first,
                    uint32_t last) {
  uint64_t start = offset * kSector;
  for (uint64_t t = 0; t < c.tables; ++t) {
    ASSERT_EQ(le32At(bytes, start + 4 * t), first + 4 * t) << c.name << " table " << t;
  }
  EXPECT_EQ(le32At(bytes, start + 4 * (c.tables - 1)), last) << c.name;
  std::fill_n(bytes.begin() + start, 4 * c.tables, 0);
}

TEST(SparseExtentFileTest, SectorMaps) {
  test::ScopedTempDir dir;
  // A text longer than one sector, so that it runs on into sector 2.
  std::string text = "# Disk DescriptorFile\n" + std::string(600, 'd') + "\n";
  for (const MapCase& c : kMaps) {
    std::string path = dir.file("image.vmdk");
    Bytes bytes = createAndRead(path, computeLayout(c.capacity, c.embedded), text.data(),
                                static_cast<uint32_t>(text.size()));
    ASSERT_EQ(bytes.size(), c.fileBytes) << c.name;

    EXPECT_EQ(le32At(bytes, 0), 0x564D444Bu) << c.name;
    EXPECT_EQ(le64At(bytes, 12), c.capacity) << c.name;
    EXPECT_EQ(le64At(bytes, 28), c.embedded ? 1u : 0u) << c.name;
    EXPECT_EQ(le64At(bytes, 36), c.embedded ? 20u : 0u) << c.name;
    EXPECT_EQ(le64At(bytes, 48), c.rgdOffset) << c.name;
    EXPECT_EQ(le64At(bytes, 56), c.gdOffset) << c.name;
    EXPECT_EQ(le64At(bytes, 64), c.fileBytes / kSector) << c.name;
    // The primary tables are the last metadata.
    EXPECT_EQ(c.gdOffset + c.directorySectors + 4 * c.tables - 1, c.lastMetadataSector) << c.name;
    EXPECT_EQ(c.rgdOffset + c.directorySectors + 4 * c.tables, c.gdOffset) << c.name;

    if (c.embedded) {
      EXPECT_EQ(std::string(bytes.begin() + 512, bytes.begin() + 512 + text.size()), text)
          << c.name;
      std::fill_n(bytes.begin() + 512, text.size(), 0);
    }
    checkDirectory(bytes, c, c.rgdOffset, c.firstRedundantEntry, c.lastRedundantEntry);
    checkDirectory(bytes, c, c.gdOffset, c.firstPrimaryEntry, c.lastPrimaryEntry);
    // Header fields checked; what remains, from byte 77 to the end (rest of
    // the header, descriptor padding, unused directory entries, tables and
    // padding), is zero.
    std::fill_n(bytes.begin(), 77, 0);
    for (size_t i = 0; i < bytes.size(); ++i) {
      ASSERT_EQ(bytes[i], 0) << c.name << " byte " << i << " sector " << i / kSector;
    }
  }
}

TEST(SparseExtentFileTest, NullTextLeavesTheDescriptorAreaZero) {
  test::ScopedTempDir dir;
  Bytes bytes = createAndRead(dir.file("a.vmdk"), computeLayout(16384, 1), nullptr, 0);
  ASSERT_EQ(bytes.size(), 65536u);
  EXPECT_EQ(le64At(bytes, 28), 1u);
  EXPECT_EQ(le64At(bytes, 36), 20u);
  for (uint64_t i = 512; i < 21 * kSector; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
  EXPECT_EQ(le32At(bytes, 21 * kSector), 22u);
}

TEST(SparseExtentFileTest, LayoutWithoutDescriptorStoresNoText) {
  test::ScopedTempDir dir;
  const char text[] = "hello";
  Bytes bytes = createAndRead(dir.file("a.vmdk"), computeLayout(16384, 0), text, 5);
  ASSERT_EQ(bytes.size(), 65536u);
  EXPECT_EQ(le64At(bytes, 28), 0u);
  EXPECT_EQ(le64At(bytes, 36), 0u);
  EXPECT_EQ(le64At(bytes, 48), 1u);
  EXPECT_EQ(le64At(bytes, 56), 6u);
  EXPECT_EQ(le32At(bytes, 1 * kSector), 2u);  // the directory follows the header
  EXPECT_EQ(le32At(bytes, 6 * kSector), 7u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()).find("hello"), std::string::npos);
}

TEST(SparseExtentFileTest, LongestDescriptorKeepsItsEnd) {
  test::ScopedTempDir dir;
  std::string text(10239, 't');
  Bytes bytes = createAndRead(dir.file("a.vmdk"), computeLayout(16384, 1), text.data(),
                              static_cast<uint32_t>(text.size()));
  EXPECT_EQ(std::string(bytes.begin() + 512, bytes.begin() + 512 + 10239), text);
  EXPECT_EQ(bytes[512 + 10239], 0);  // the last byte of the area ends the text
  EXPECT_EQ(le32At(bytes, 21 * kSector), 22u);
}

TEST(SparseExtentFileTest, TooLongDescriptorIsRefusedNotCut) {
  test::ScopedTempDir dir;
  std::string path = dir.file("a.vmdk");
  std::string text(10240, 't');
  try {
    createSparseExtent(path, computeLayout(16384, 1), text.data(),
                       static_cast<uint32_t>(text.size()));
    ADD_FAILURE() << "a descriptor filling the whole area was accepted";
  } catch (const FatalError& error) {
    EXPECT_EQ(std::string(error.what()), "Descriptor too long for " + path);
  }
  EXPECT_FALSE(test::fileExists(path));
}

TEST(SparseExtentFileTest, ReplacesAnExistingFile) {
  test::ScopedTempDir dir;
  std::string path = dir.file("a.vmdk");
  test::writeBytes(path, Bytes(1 << 20, 0xFF));
  Bytes bytes = createAndRead(path, computeLayout(16384, 0), nullptr, 0);
  ASSERT_EQ(bytes.size(), 65536u);
  EXPECT_EQ(le32At(bytes, 0), 0x564D444Bu);
  for (uint64_t i = 77; i < bytes.size(); ++i) {
    if (i == 512 || i == 6 * 512) continue;  // the two directory entries
    ASSERT_EQ(bytes[i], 0) << "byte " << i;
  }
}

TEST(SparseExtentFileTest, NewFilesAreOrdinaryReadWriteFiles) {
  test::ScopedTempDir dir;
  mode_t previous = umask(0);
  int fd = createSparseExtent(dir.file("a.vmdk"), computeLayout(0, 0), nullptr, 0);
  umask(previous);
  platform::closeFile(fd);
  struct stat st;
  ASSERT_EQ(stat(dir.file("a.vmdk").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  EXPECT_EQ(st.st_size, 65536);
}

TEST(SparseExtentFileTest, OpenFailure) {
  test::ScopedTempDir dir;
  std::string path = dir.file("missing/a.vmdk");
  try {
    createSparseExtent(path, computeLayout(16384, 1), nullptr, 0);
    ADD_FAILURE() << "created a file in a missing directory";
  } catch (const FatalError& error) {
    EXPECT_EQ(std::string(error.what()), "Failed to create file " + path);
    EXPECT_FALSE(error.showsUsage());
  }

  test::RunResult result = test::runSkarvel({"create", "-s", "8M", "missing/a.vmdk"}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Failed to create file missing/a.vmdk\n");
}

TEST(SparseExtentFileTest, WriteFailureOnAFullDevice) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not writable here";
  try {
    createSparseExtent("/dev/full", computeLayout(16384, 1), "x", 1);
    ADD_FAILURE() << "writing to /dev/full succeeded";
  } catch (const FatalError& error) {
    EXPECT_EQ(std::string(error.what()), "Failed to write file /dev/full");
    EXPECT_FALSE(error.showsUsage());
  }

  test::ScopedTempDir dir;
  test::RunResult result = test::runSkarvel({"create", "-s", "8M", "/dev/full"}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Failed to write file /dev/full\n");
}

TEST(SparseExtentFileTest, PeerAcceptsANewOneGibImage) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  test::ScopedTempDir dir;
  std::string path = dir.file("disk.vmdk");
  SparseLayout layout = layoutFromBytes(uint64_t{1} << 30, 1);
  std::string text = composeDescriptor(DiskDescriptor(4, "lsilogic"), layout, "disk.vmdk", true);
  platform::closeFile(
      createSparseExtent(path, layout, text.data(), static_cast<uint32_t>(text.size())));

  test::RunResult check = test::runProgram("qemu-img", {"check", "-f", "vmdk", path}, dir.path());
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  EXPECT_NE(check.out.find("No errors were found on the image."), std::string::npos) << check.out;

  test::RunResult info = test::runProgram("qemu-img", {"info", "-f", "vmdk", path}, dir.path());
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("virtual size: 1 GiB (1073741824 bytes)"), std::string::npos) << info.out;
}

}  // namespace
}  // namespace skarvel
