// Split outputs: how the disk is cut into extents of 2047 MiB, how extent
// files are named, the descriptor file's text, which extent each grain goes
// to, and a descriptor file that cannot be created.
#include "writer/multi_file_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "base/fatal_error.h"
#include "format/sparse_layout.h"
#include "test_files.h"
#include "writer/output_image.h"

namespace skarvel {
namespace {

using test::Bytes;
using test::filesIn;
using test::fileSize;
using test::grainOf;
using test::le32At;
using test::le64At;
using test::readBytes;
using test::readText;

constexpr uint64_t kGrain = 65536;

// The descriptor file of a split image (its extent lines given), with
// default options and the disk database of |cylinders|.
std::string splitDescriptor(const std::string& extentLines, const std::string& cylinders) {
  return "# Disk DescriptorFile\nversion=1\nCID=XXXXXXXX\nparentCID=ffffffff\n"
         "createType=\"twoGbMaxExtentSparse\"\n\n# Extent description\n" +
         extentLines +
         "\n# The Disk Data Base\n#DDB\n\nddb.virtualHWVersion = \"4\"\n"
         "ddb.geometry.cylinders = \"" +
         cylinders +
         "\"\nddb.geometry.heads = \"255\"\nddb.geometry.sectors = \"63\"\n"
         "ddb.adapterType = \"lsilogic\"\n";
}

// Replaces the eight hex digits of the "CID=" line, after checking that
// they name a value of at most 0x7FFF.
std::string maskCid(std::string text) {
  size_t at = text.find("\nCID=");
  if (at == std::string::npos || at + 13 > text.size()) return text;
  EXPECT_LE(std::stoul(text.substr(at + 5, 8), nullptr, 16), 0x7FFFu);
  text.replace(at + 5, 8, "XXXXXXXX");
  return text;
}

class MultiFileWriterTest : public ::testing::Test {
 protected:
  std::unique_ptr<VMDKWriter> createSplit(const std::string& name, uint64_t capacity) {
    OutputImage output(dir_.file(name), computeLayout(capacity, 1), DiskDescriptor());
    return output.createSplit(true);
  }

  test::ScopedTempDir dir_;
};

TEST_F(MultiFileWriterTest, TenGibibytesMakeSixExtentsAndThisDescriptor) {
  auto writer = createSplit("disk.vmdk", 20971520);
  // The descriptor file holds its final text before any grain is written.
  std::string text = readText(dir_.file("disk.vmdk"));
  writer->close();
  EXPECT_EQ(maskCid(text), splitDescriptor("RW 4192256 SPARSE \"disk-s001.vmdk\"\n"
                                           "RW 4192256 SPARSE \"disk-s002.vmdk\"\n"
                                           "RW 4192256 SPARSE \"disk-s003.vmdk\"\n"
                                           "RW 4192256 SPARSE \"disk-s004.vmdk\"\n"
                                           "RW 4192256 SPARSE \"disk-s005.vmdk\"\n"
                                           "RW 10240 SPARSE \"disk-s006.vmdk\"\n",
                                           "1305"));
  EXPECT_EQ(filesIn(dir_.path()), 7u);
  // 4192256 sectors without a descriptor take 640 sectors of metadata;
  // 10240 sectors (80 grains, one table) take 128.
  EXPECT_EQ(fileSize(dir_.file("disk-s001.vmdk")), 327680u);
  EXPECT_EQ(fileSize(dir_.file("disk-s005.vmdk")), 327680u);
  Bytes last = readBytes(dir_.file("disk-s006.vmdk"));
  ASSERT_EQ(last.size(), kGrain);
  EXPECT_EQ(le64At(last, 12), 10240u);
  EXPECT_EQ(le64At(last, 28), 0u);  // no embedded descriptor
}

struct ExtentCase {
  std::string name;
  uint64_t capacity;
  std::vector<uint64_t> extentSizes;  // sectors
  std::vector<uint64_t> fileBytes;
  std::string cylinders;
};

TEST_F(MultiFileWriterTest, ExtentSizesFollowTheCapacity) {
  const ExtentCase cases[] = {
      {"one.vmdk", 4192256, {4192256}, {327680}, "260"},
      {"two.vmdk", 4192384, {4192256, 128}, {327680, 65536}, "260"},
      {"none.vmdk", 0, {}, {}, "0"},
  };
  for (const ExtentCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScopedTempDir dir;
    OutputImage output(dir.file(c.name), computeLayout(c.capacity, 1), DiskDescriptor());
    output.createSplit(true)->close();
    std::string stem = c.name.substr(0, c.name.find('.'));
    std::string lines;
    for (size_t i = 0; i < c.extentSizes.size(); ++i) {
      std::string extentName = stem + "-s00" + std::to_string(i + 1) + ".vmdk";
      lines += "RW " + std::to_string(c.extentSizes[i]) + " SPARSE \"" + extentName + "\"\n";
      Bytes extent = readBytes(dir.file(extentName));
      ASSERT_EQ(extent.size(), c.fileBytes[i]) << extentName;
      EXPECT_EQ(le64At(extent, 12), c.extentSizes[i]) << extentName;
    }
    EXPECT_EQ(filesIn(dir.path()), c.extentSizes.size() + 1);
    EXPECT_EQ(maskCid(readText(dir.file(c.name))), splitDescriptor(lines, c.cylinders));
  }
}

TEST_F(MultiFileWriterTest, ExtentNamesCutTheFileNameAtItsLastDot) {
  struct NameCase {
    std::string path;        // relative to the temp dir
    std::string extent;      // the first extent's path
    std::string extentLine;  // the name the descriptor gives it
  };
  const NameCase cases[] = {
      {"disk.old.vmdk", "disk.old-s001.vmdk", "disk.old-s001.vmdk"},
      {".vmdk", "-s001.vmdk", "-s001.vmdk"},
      {"disk", "disk-s001", "disk-s001"},
      // The dot of a directory name is not an extension.
      {"v1.0/disk", "v1.0/disk-s001", "disk-s001"},
  };
  std::filesystem::create_directory(dir_.file("v1.0"));
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.path);
    createSplit(c.path, 128)->close();
    EXPECT_EQ(fileSize(dir_.file(c.extent)), kGrain);
    std::string text = readText(dir_.file(c.path));
    EXPECT_NE(text.find("\nRW 128 SPARSE \"" + c.extentLine + "\"\n"), std::string::npos) << text;
  }
}

TEST_F(MultiFileWriterTest, CreateTypeBecomesTwoGbMaxExtentSparse) {
  DiskDescriptor descriptor(6, "ide");
  ASSERT_EQ(descriptor.createType, "monolithicSparse");
  OutputImage output(dir_.file("d.vmdk"), computeLayout(128, 1), descriptor);
  output.createSplit(true)->close();
  std::string text = readText(dir_.file("d.vmdk"));
  EXPECT_NE(text.find("\ncreateType=\"twoGbMaxExtentSparse\"\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("monolithicSparse"), std::string::npos) << text;
}

TEST_F(MultiFileWriterTest, GrainsGoToTheExtentThatHoldsThem) {
  // Extent 1 holds grains 0..32751, extent 2 (128 sectors) grain 32752.
  auto writer = createSplit("disk.vmdk", 4192384);
  Bytes a = grainOf(0xAA), b = grainOf(0xBB);
  writer->writeGrain(32751, a.data(), kGrain);
  writer->writeGrain(32752, b.data(), kGrain);
  writer->writeGrain(32753, a.data(), kGrain);  // past the disk: dropped
  writer->close();

  // Extent 1 (no descriptor): redundant tables from sector 2, primary from
  // 259; grain 32751 is entry 495 of table 63; first grain at sector 640.
  Bytes first = readBytes(dir_.file("disk-s001.vmdk"));
  ASSERT_EQ(first.size(), 327680u + kGrain);
  EXPECT_EQ(le32At(first, (2 + 4 * 63) * 512 + 4 * 495), 640u);
  EXPECT_EQ(le32At(first, (259 + 4 * 63) * 512 + 4 * 495), 640u);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), first.begin() + 327680));

  // Extent 2: redundant table at sector 2, primary at 7, grain at 128.
  Bytes second = readBytes(dir_.file("disk-s002.vmdk"));
  ASSERT_EQ(second.size(), 2 * kGrain);
  EXPECT_EQ(le32At(second, 2 * 512), 128u);
  EXPECT_EQ(le32At(second, 7 * 512), 128u);
  EXPECT_TRUE(std::equal(b.begin(), b.end(), second.begin() + kGrain));
}

TEST_F(MultiFileWriterTest, NoExtentMeansEveryGrainIsDropped) {
  auto writer = createSplit("empty.vmdk", 0);
  Bytes data = grainOf(1);
  writer->writeGrain(0, data.data(), kGrain);
  writer->close();
  EXPECT_EQ(filesIn(dir_.path()), 1u);
}

TEST_F(MultiFileWriterTest, DescriptorFileThatCannotBeCreatedKeepsTheExtents) {
  std::filesystem::create_directory(dir_.file("disk.vmdk"));
  try {
    createSplit("disk.vmdk", 4192384);
    FAIL() << "a directory was taken for the descriptor file";
  } catch (const FatalError& error) {
    EXPECT_EQ(std::string(error.what()), "Failed to create " + dir_.file("disk.vmdk"));
  }
  EXPECT_EQ(fileSize(dir_.file("disk-s001.vmdk")), 327680u);
  EXPECT_EQ(fileSize(dir_.file("disk-s002.vmdk")), kGrain);
  EXPECT_TRUE(std::filesystem::is_directory(dir_.file("disk.vmdk")));
}

}  // namespace
}  // namespace skarvel
