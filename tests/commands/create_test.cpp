// The create command as a user runs it: the files it makes for single and
// split images, their header, descriptor and empty tables, the options it
// reads, the CIDs of images made together, and the runs it refuses.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/usage.h"
#include "commands/output_choice.h"
#include "run_tool.h"
#include "test_files.h"

namespace skarvel {
namespace {

using test::Bytes;
using test::filesIn;
using test::fileSize;
using test::le32At;
using test::le64At;
using test::readBytes;
using test::readText;

// The first |count| bytes of a file, for files too big to read whole.
Bytes readHead(const std::string& path, size_t count) {
  std::ifstream in(path, std::ios::binary);
  Bytes bytes(count);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

// The embedded descriptor (sectors 1 to 20) up to its first zero byte, with
// the eight digits of the CID line masked after checking the value.
std::string embeddedText(const Bytes& file) {
  std::string text(file.begin() + 512, file.begin() + 512 + 10240);
  text.resize(text.find('\0'));
  size_t at = text.find("\nCID=");
  if (at == std::string::npos) return text;
  EXPECT_LE(std::stoul(text.substr(at + 5, 8), nullptr, 16), 0x7FFFu);
  text.replace(at + 5, 8, "XXXXXXXX");
  return text;
}

std::string usageText() {
  std::ostringstream out;
  writeUsage(out);
  return out.str();
}

class CreateTest : public ::testing::Test {
 protected:
  test::RunResult create(std::vector<std::string> args) {
    args.insert(args.begin(), "create");
    return test::runSkarvel(args, dir_.path());
  }

  void expectSuccess(const test::RunResult& result) {
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
  }

  // A refusal leaves the directory empty.
  void expectRefused(const test::RunResult& result, const std::string& err,
                     const std::string& out = "") {
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(filesIn(dir_.path()), 0u);
  }

  test::ScopedTempDir dir_;
};

TEST_F(CreateTest, TenGibibyteDiskIsOneFileOfMetadata) {
  expectSuccess(create({"-s", "10G", "disk.vmdk"}));
  // 20971520 sectors: 163840 grains, 320 tables, directories of 3 sectors;
  // metadata 1 + 20 + 2 * (3 + 1280) = 2587 sectors, overhead 2688.
  Bytes file = readBytes(dir_.file("disk.vmdk"));
  ASSERT_EQ(file.size(), 1376256u);
  EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "KDMV");
  EXPECT_EQ(le32At(file, 4), 1u);
  EXPECT_EQ(le32At(file, 8), 3u);
  EXPECT_EQ(le64At(file, 12), 20971520u);
  EXPECT_EQ(le64At(file, 20), 128u);
  EXPECT_EQ(le64At(file, 28), 1u);
  EXPECT_EQ(le64At(file, 36), 20u);
  EXPECT_EQ(le32At(file, 44), 512u);
  EXPECT_EQ(le64At(file, 48), 21u);
  EXPECT_EQ(le64At(file, 56), 1304u);
  EXPECT_EQ(le64At(file, 64), 2688u);
  EXPECT_EQ(std::string(file.begin() + 72, file.begin() + 77), std::string("\0\n \r\n", 5));
  EXPECT_TRUE(std::all_of(file.begin() + 77, file.begin() + 512, [](uint8_t b) { return !b; }));

  EXPECT_EQ(embeddedText(file),
            "# Disk DescriptorFile\nversion=1\nCID=XXXXXXXX\nparentCID=ffffffff\n"
            "createType=\"monolithicSparse\"\n\n# Extent description\n"
            "RW 20971520 SPARSE \"disk.vmdk\"\n\n\n# The Disk Data Base\n#DDB\n\n"
            "ddb.virtualHWVersion = \"4\"\nddb.geometry.cylinders = \"1305\"\n"
            "ddb.geometry.heads = \"255\"\nddb.geometry.sectors = \"63\"\n"
            "ddb.adapterType = \"lsilogic\"\n");

  // From sector 21 on, only the directory entries are non-zero: every grain
  // table entry is 0. Redundant directory at 21 (tables from 24), primary at
  // 1304 (tables from 1307); 320 entries each, the rest of the 3 sectors 0.
  for (uint64_t offset = 21 * 512; offset < file.size(); offset += 4) {
    uint32_t expected = 0;
    for (uint64_t directory : {21u, 1304u}) {
      uint64_t start = directory * 512, t = (offset - start) / 4;
      if (offset >= start && t < 320) expected = static_cast<uint32_t>(directory + 3 + 4 * t);
    }
    ASSERT_EQ(le32At(file, offset), expected) << "byte " << offset;
  }
}

TEST_F(CreateTest, EightMebibytesIsTheSmallestDisk) {
  expectSuccess(create({"-s", "8M", "disk.vmdk"}));
  Bytes file = readBytes(dir_.file("disk.vmdk"));
  ASSERT_EQ(file.size(), 65536u);
  EXPECT_EQ(le64At(file, 12), 16384u);

  for (const char* size : {"7M", "1M"}) {
    SCOPED_TRACE(size);
    test::ScopedTempDir other;
    test::RunResult result = test::runSkarvel({"create", "-s", size, "small.vmdk"}, other.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Disk size must be greater than 8M\n");
    EXPECT_EQ(filesIn(other.path()), 0u);
  }
}

TEST_F(CreateTest, SplitAsksForExtentsOnlyAbove2047Mebibytes) {
  expectSuccess(create({"-p", "-s", "2047M", "single.vmdk"}));
  EXPECT_EQ(filesIn(dir_.path()), 1u);
  Bytes single = readBytes(dir_.file("single.vmdk"));
  ASSERT_EQ(single.size(), 327680u);
  EXPECT_NE(embeddedText(single).find("\ncreateType=\"monolithicSparse\"\n"), std::string::npos);

  expectSuccess(create({"-p", "-s", "2048M", "disk.vmdk"}));
  EXPECT_EQ(filesIn(dir_.path()), 4u);
  // 4192256 sectors: 640 sectors of metadata; 2048 sectors: 128.
  Bytes first = readBytes(dir_.file("disk-s001.vmdk"));
  Bytes second = readBytes(dir_.file("disk-s002.vmdk"));
  ASSERT_EQ(first.size(), 327680u);
  ASSERT_EQ(second.size(), 65536u);
  EXPECT_EQ(le64At(first, 12), 4192256u);
  EXPECT_EQ(le64At(second, 12), 2048u);
  EXPECT_EQ(le64At(first, 28), 0u);  // extents embed no descriptor
  std::string text = readText(dir_.file("disk.vmdk"));
  EXPECT_NE(text.find("\ncreateType=\"twoGbMaxExtentSparse\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("# Extent description\nRW 4192256 SPARSE \"disk-s001.vmdk\"\n"
                      "RW 2048 SPARSE \"disk-s002.vmdk\"\n\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("ddb.geometry.cylinders = \"261\"\n"), std::string::npos) << text;

  // The kind named with -t is made whatever the size: 8M is 16384 sectors.
  expectSuccess(create({"-t", "twoGbMaxExtentSparse", "-s", "8M", "small.vmdk"}));
  EXPECT_EQ(le64At(readBytes(dir_.file("small-s001.vmdk")), 12), 16384u);
  EXPECT_NE(readText(dir_.file("small.vmdk")).find("\nRW 16384 SPARSE \"small-s001.vmdk\"\n\n"),
            std::string::npos);
}

TEST_F(CreateTest, AdapterAndHardwareVersionGoIntoTheDescriptor) {
  expectSuccess(create({"-a", "ide", "-r", "6", "-s", "8M", "disk.vmdk"}));
  std::string text = embeddedText(readBytes(dir_.file("disk.vmdk")));
  EXPECT_NE(text.find("\nddb.virtualHWVersion = \"6\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nddb.adapterType = \"ide\"\n"), std::string::npos) << text;
}

TEST_F(CreateTest, MergeOptionChangesNothing) {
  expectSuccess(create({"-m", "-s", "8M", "disk.vmdk"}));
  EXPECT_EQ(filesIn(dir_.path()), 1u);
  EXPECT_EQ(fileSize(dir_.file("disk.vmdk")), 65536u);
}

TEST_F(CreateTest, MissingPathOrSizeShowsUsage) {
  // Without a path the size is not even checked.
  const std::vector<std::string> runs[] = {{"-s", "10G"}, {"-s", "1M"}, {"disk.vmdk"}, {}};
  for (const auto& args : runs) {
    SCOPED_TRACE(::testing::PrintToString(args));
    expectRefused(create(args), "", usageText());
  }
}

TEST_F(CreateTest, SingleFileStopsBelowSector2To32) {
  expectRefused(create({"-s", "2048G", "disk.vmdk"}),
                "Disk is too large for a single file, use -p\n");

  // 2047 GiB is accepted and the file holds only its metadata: 33538048
  // grains in 65504 tables, directories of 512 sectors, 1 + 20 +
  // 2 * (512 + 262016) = 525077 sectors rounded up to 525184.
  expectSuccess(create({"-s", "2047G", "disk.vmdk"}));
  EXPECT_EQ(fileSize(dir_.file("disk.vmdk")), 268894208u);
  Bytes head = readHead(dir_.file("disk.vmdk"), 512);
  ASSERT_EQ(head.size(), 512u);
  EXPECT_EQ(le64At(head, 12), 4292870144u);
  EXPECT_EQ(le64At(head, 64), 525184u);
  // It copies too, also where size_t is 32 bits wide.
  EXPECT_EQ(test::runSkarvel({"copy", "disk.vmdk", "copy.vmdk"}, dir_.path()).err, "");
  EXPECT_EQ(fileSize(dir_.file("copy.vmdk")), 268894208u);
#ifndef _WIN32
  // Only sectors holding non-zero bytes take space: the header, the text and
  // two directories of 256 KiB; the 256 MiB of zero tables are a hole.
  struct stat st;
  ASSERT_EQ(stat(dir_.file("disk.vmdk").c_str(), &st), 0);
  std::ofstream(dir_.file("probe")).close();
  std::filesystem::resize_file(dir_.file("probe"), 1 << 20);
  struct stat probe;
  ASSERT_EQ(stat(dir_.file("probe").c_str(), &probe), 0);
  if (probe.st_blocks == 0) {
    EXPECT_LE(st.st_blocks * 512, 1 << 20);
  }
#endif
}

TEST_F(CreateTest, SplitImageOfTwoTebibytes) {
  // 2^32 sectors: 1024 extents of 4192256 sectors and one of 2097152.
  expectSuccess(create({"-p", "-s", "2048G", "disk.vmdk"}));
  EXPECT_EQ(filesIn(dir_.path()), 1026u);
  EXPECT_EQ(fileSize(dir_.file("disk-s999.vmdk")), 327680u);
  EXPECT_EQ(fileSize(dir_.file("disk-s1024.vmdk")), 327680u);
  // 2097152 sectors without descriptor: 1 + 2 * (1 + 128) = 259 sectors of
  // metadata, 384 with padding.
  Bytes last = readBytes(dir_.file("disk-s1025.vmdk"));
  ASSERT_EQ(last.size(), 196608u);
  EXPECT_EQ(le64At(last, 12), 2097152u);

  std::string text = readText(dir_.file("disk.vmdk"));
  size_t lines = 0;
  for (size_t at = text.find("\nRW "); at != std::string::npos; at = text.find("\nRW ", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 1025u);
  EXPECT_NE(text.find("\nRW 4192256 SPARSE \"disk-s999.vmdk\"\n"
                      "RW 4192256 SPARSE \"disk-s1000.vmdk\"\n"),
            std::string::npos);
  EXPECT_NE(text.find("\nRW 2097152 SPARSE \"disk-s1025.vmdk\"\n\n# The Disk Data Base\n"),
            std::string::npos);
  EXPECT_NE(text.find("\nddb.geometry.cylinders = \"267349\"\n"), std::string::npos);
}

#ifdef _WIN32  // 4100 GiB: 2051 extents of 4192256 sectors and one of 6144, past the runtime's 2048
TEST_F(CreateTest, SplitImageOfMoreExtentsThanTheWindowsRuntimeOpens) {
  expectSuccess(create({"-p", "-s", "4100G", "disk.vmdk"}));
  EXPECT_EQ(test::runSkarvel({"info", "disk.vmdk"}, dir_.path()).err, "");
  EXPECT_EQ(test::runSkarvel({"copy", "-p", "disk.vmdk", "out.vmdk"}, dir_.path()).err, "");
  EXPECT_EQ(filesIn(dir_.path()), 2 * 2053u);
}
#endif

// Runs in quick succession, most of them within one second of the clock,
// still seed their CIDs apart: four creates and four clones of the first
// image, each CID read from its descriptor.
TEST_F(CreateTest, ImagesMadeInOneSecondGetTheirOwnCids) {
  std::set<std::string> cids;
  for (int i = 0; i < 8; ++i) {
    std::string name = "disk" + std::to_string(i) + ".vmdk";
    test::RunResult run = i < 4 ? create({"-s", "8M", name})
                                : test::runSkarvel({"clone", "disk0.vmdk", name}, dir_.path());
    ASSERT_EQ(run.status, 0) << run.err;
    std::string text = test::embeddedText(readBytes(dir_.file(name)));
    size_t at = text.find("\nCID=");
    ASSERT_NE(at, std::string::npos) << text;
    cids.insert(text.substr(at + 5, 8));
  }
  // Eight draws from 32768 values: one repeat can happen by chance (about
  // once in 1200 runs), two hardly ever.
  EXPECT_GE(cids.size(), 7u);
}

TEST(FreshDescriptorTest, TakesTheOptions) {
  CommandOptions options;
  options.adapterType = "ide";
  options.hardwareVersion = 6;
  DiskDescriptor chosen = freshDescriptor(options);
  EXPECT_EQ(chosen.adapterType, "ide");
  EXPECT_EQ(chosen.virtualHWVersion, 6);

  DiskDescriptor defaults = freshDescriptor(CommandOptions());
  EXPECT_EQ(defaults.version, 1);
  EXPECT_EQ(defaults.parentCID, 0xFFFFFFFFu);
  EXPECT_EQ(defaults.virtualHWVersion, 4);
  EXPECT_EQ(defaults.createType, "monolithicSparse");
  EXPECT_EQ(defaults.adapterType, "lsilogic");
  EXPECT_EQ(defaults.parentFileNameHint, "");
  EXPECT_FALSE(defaults.hasParent());
  EXPECT_LE(defaults.CID, 0x7FFFu);
}

}  // namespace
}  // namespace skarvel
