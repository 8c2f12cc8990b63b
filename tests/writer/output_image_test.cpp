// Output set-up: splitting the output path, the descriptor of a new image,
// and the single-file output with its embedded descriptor and the two
// refusals that come before any file exists.
#include "writer/output_image.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/fatal_error.h"
#include "format/sparse_layout.h"
#include "test_files.h"

namespace skarvel {
namespace {

using test::Bytes;
using test::fileExists;
using test::readBytes;

// The embedded descriptor area: sectors 1 to 20.
constexpr size_t kAreaStart = 512;
constexpr size_t kAreaBytes = 10240;

// The embedded text of an 8 MiB single file named out.vmdk (one cylinder),
// with the CID masked.
std::string singleDescriptor(const std::string& hwVersion, const std::string& adapter) {
  return "# Disk DescriptorFile\nversion=1\nCID=XXXXXXXX\nparentCID=ffffffff\n"
         "createType=\"monolithicSparse\"\n\n# Extent description\n"
         "RW 16384 SPARSE \"out.vmdk\"\n\n\n# The Disk Data Base\n#DDB\n\n"
         "ddb.virtualHWVersion = \"" +
         hwVersion +
         "\"\nddb.geometry.cylinders = \"1\"\nddb.geometry.heads = \"255\"\n"
         "ddb.geometry.sectors = \"63\"\nddb.adapterType = \"" +
         adapter + "\"\n";
}

// The text in the descriptor area up to its first zero byte, CID masked.
std::string embeddedText(const Bytes& file) {
  std::string text(file.begin() + kAreaStart, file.begin() + kAreaStart + kAreaBytes);
  text.resize(text.find('\0'));
  size_t at = text.find("\nCID=");
  if (at != std::string::npos) text.replace(at + 5, 8, "XXXXXXXX");
  return text;
}

TEST(OutputImageTest, PathSplitsAtItsLastSeparator) {
  struct PathCase {
    std::string path, directory, fileName;
  };
  const PathCase cases[] = {
      {"out.vmdk", "", "out.vmdk"},
      {"images/new/out.vmdk", "images/new/", "out.vmdk"},
      {"images\\out.vmdk", "images\\", "out.vmdk"},
  };
  SparseLayout layout = computeLayout(16384, 1);
  DiskDescriptor descriptor(6, "ide");
  for (const PathCase& c : cases) {
    OutputImage output(c.path, layout, descriptor);
    EXPECT_EQ(output.path, c.path);
    EXPECT_EQ(output.directory, c.directory) << c.path;
    EXPECT_EQ(output.fileName, c.fileName) << c.path;
    EXPECT_EQ(output.layout, layout);
    EXPECT_EQ(output.descriptor.CID, descriptor.CID);
  }
}

TEST(OutputImageTest, SingleFileEmbedsADescriptorNamingOnlyTheFile) {
  test::ScopedTempDir dir;
  std::filesystem::create_directories(dir.file("images/new"));
  std::string path = dir.file("images/new/out.vmdk");
  DiskDescriptor descriptor(6, "ide");
  descriptor.createType = "twoGbMaxExtentSparse";  // replaced for a single file
  OutputImage output(path, computeLayout(16384, 1), descriptor);
  output.createSingleFile(true)->close();

  Bytes file = readBytes(path);
  ASSERT_EQ(file.size(), 65536u);
  EXPECT_EQ(embeddedText(file), singleDescriptor("6", "ide"));
  EXPECT_EQ(output.descriptor.createType, "monolithicSparse");
}

TEST(OutputImageTest, DiskBeyondSector2To32IsRefusedForASingleFile) {
  test::ScopedTempDir dir;
  std::string path = dir.file("big.vmdk");
  OutputImage output(path, computeLayout(uint64_t{1} << 32, 1), DiskDescriptor());
  try {
    output.createSingleFile(true);
    FAIL() << "2^32 sectors were accepted in one file";
  } catch (const FatalError& error) {
    EXPECT_EQ(std::string(error.what()), "Disk is too large for a single file, use -p");
  }
  EXPECT_FALSE(fileExists(path));
  // A stream's tables name sectors of its file the same way.
  try {
    output.createStream(true);
    FAIL() << "2^32 sectors were accepted in a stream";
  } catch (const FatalError& error) {
    EXPECT_EQ(std::string(error.what()), "Disk is too large for " + path);
  }
  EXPECT_FALSE(fileExists(path));
}

TEST(OutputImageTest, DescriptorMustLeaveRoomForItsZeroByte) {
  // The text with an empty adapter name; the adapter adds its own length.
  const size_t baseLength = singleDescriptor("4", "").size();
  const size_t fitting = kAreaBytes - 1 - baseLength;
  test::ScopedTempDir dir;

  std::string fits = dir.file("fits/out.vmdk");
  std::filesystem::create_directory(dir.file("fits"));
  std::string adapter(fitting, 'a');
  OutputImage accepted(fits, computeLayout(16384, 1), DiskDescriptor(4, adapter));
  accepted.createSingleFile(true)->close();
  Bytes file = readBytes(fits);
  ASSERT_EQ(file.size(), 65536u);
  EXPECT_EQ(file[kAreaStart + kAreaBytes - 1], 0);
  EXPECT_EQ(embeddedText(file), singleDescriptor("4", adapter));

  std::string tooLong = dir.file("out.vmdk");
  OutputImage refused(tooLong, computeLayout(16384, 1), DiskDescriptor(4, adapter + 'a'));
  try {
    refused.createSingleFile(true);
    FAIL() << "a descriptor without room for its zero byte was accepted";
  } catch (const FatalError& error) {
    EXPECT_EQ(std::string(error.what()), "Descriptor too long for " + tooLong);
  }
  EXPECT_FALSE(fileExists(tooLong));
}

// FLAT extent lines with offset 0, extents of at most 2047 MiB, laid down
// at their full length; a raw output is the one file itself.
TEST(OutputImageTest, FlatOutputsListTheirExtentFiles) {
  test::ScopedTempDir dir;
  struct FlatCase {
    OutputKind kind;
    std::string lines;
    std::vector<std::pair<std::string, uint64_t>> files;
  };
  const FlatCase cases[] = {
      {OutputKind::kSplitFlat,
       "RW 4192256 FLAT \"out-f001.vmdk\" 0\nRW 2048 FLAT \"out-f002.vmdk\" 0\n",
       {{"out-f001.vmdk", 2146435072}, {"out-f002.vmdk", 1048576}}},
      {OutputKind::kMonolithicFlat,
       "RW 4194304 FLAT \"out-flat.vmdk\" 0\n",
       {{"out-flat.vmdk", 2147483648}}},
      {OutputKind::kRaw, "", {{"out.vmdk", 2147483648}}},
  };
  for (const FlatCase& c : cases) {
    SCOPED_TRACE(outputKindName(c.kind));
    std::filesystem::remove_all(test::pathOf(dir.path()));
    std::filesystem::create_directory(test::pathOf(dir.path()));
    OutputImage output(dir.file("out.vmdk"), computeLayout(4194304, 1), DiskDescriptor());
    output.createFlat(c.kind, true)->close();
    for (const auto& [name, bytes] : c.files) EXPECT_EQ(test::fileSize(dir.file(name)), bytes);
    EXPECT_EQ(test::filesIn(dir.path()), c.files.size() + (c.lines.empty() ? 0 : 1));
    if (c.lines.empty()) continue;
    std::string text = test::readText(dir.file("out.vmdk"));
    EXPECT_NE(text.find("createType=\"" + std::string(outputKindName(c.kind)) + "\"\n"),
              std::string::npos);
    EXPECT_NE(text.find("# Extent description\n" + c.lines + "\n"), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace skarvel
