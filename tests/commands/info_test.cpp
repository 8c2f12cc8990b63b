// The info command as a user runs it: the report byte for byte, the chain
// list of a child, split images that need many open files, and the runs that
// end with an error line.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <cstdio>
#include <filesystem>

#include "image_builder.h"
#include "run_tool.h"
#include "skip_on_windows.h"
#include "test_files.h"

namespace skarvel {
namespace {

using test::ExtentFixture;
using test::RunResult;
using test::ScopedTempDir;

constexpr uint32_t kNone = 0xFFFFFFFF;

// A monolithic image with an embedded descriptor and no grains; |ddb| ends
// the descriptor and overrides what came before it.
void writeImage(const std::string& path, uint64_t capacity, uint32_t cid, uint32_t parentCid,
                const std::string& hint, const std::string& ddb = "") {
  ExtentFixture fixture;
  fixture.capacity = capacity;
  fixture.descriptor = test::descriptorText(cid, parentCid, hint, "monolithicSparse",
                                            "RW " + std::to_string(capacity) + " SPARSE \"x\"\n") +
                       ddb;
  test::writeSparseExtentFile(path, fixture);
}

// A split image |stem|.vmdk in |directory| of |extents| extents of one grain
// (128 sectors) each, cut to their 512-byte headers, which is all info
// reads; |text| opens the descriptor file, before the extent lines.
void writeSplit(const std::string& directory, const std::string& stem, int extents,
                const std::string& text) {
  std::string lines;
  for (int i = 1; i <= extents; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%s-s%03d.vmdk", stem.c_str(), i);
    ExtentFixture fixture;
    fixture.capacity = 128;
    test::writeSparseExtentFile(directory + "/" + name, fixture);
    lines += "RW 128 SPARSE \"" + std::string(name) + "\"\n";
  }
  test::writeText(directory + "/" + stem + ".vmdk", text + lines);
}

class InfoTest : public ::testing::Test {
 protected:
  RunResult info(const std::vector<std::string>& paths) {
    std::vector<std::string> args = {"info"};
    args.insert(args.end(), paths.begin(), paths.end());
    return test::runSkarvel(args, dir_.path());
  }
  void expectFailure(const std::string& path, const std::string& message) {
    RunResult run = info({path});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, message + "\n");
    EXPECT_EQ(run.out, "");
  }

  ScopedTempDir dir_;
};

TEST_F(InfoTest, TenGibImage) {
  ExtentFixture fixture;
  fixture.capacity = 20971520;
  fixture.descriptor =
      "# Disk DescriptorFile\nversion=1\nCID=0badcafe\nparentCID=ffffffff\n"
      "createType=\"monolithicSparse\"\n\n# Extent description\n"
      "RW 20971520 SPARSE \"big.vmdk\"\n\n\n# The Disk Data Base\n#DDB\n\n"
      "ddb.virtualHWVersion = \"4\"\nddb.geometry.cylinders = \"1305\"\n"
      "ddb.geometry.heads = \"255\"\nddb.geometry.sectors = \"63\"\n"
      "ddb.adapterType = \"lsilogic\"\n";
  test::writeSparseExtentFile(dir_.file("big.vmdk"), fixture);
  RunResult run = info({"big.vmdk"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "Version        : 1\n"
            "CreateType     : monolithicSparse\n"
            "HardwareVersion: 4\n"
            "AdapterType    : lsilogic\n"
            "Capacity       : 20971520 Sectors, 10 GBytes\n"
            "Grains         : 163840 (65536 bytes each)\n"
            "GrainTables    : 320\n"
            "GrainDirSize   : 3\n"
            "Overhead       : 2688\n"
            "\n");
}

TEST_F(InfoTest, ChildReportsTheRootAndListsTheChain) {
  // The child is 8 MiB and says hardware 4 and ide; the root is 2 GiB:
  // 32768 grains, 64 tables, one directory sector, 1 + 20 + 2 x (1 + 256)
  // = 535 metadata sectors rounded up to 640.
  writeImage(dir_.file("child.vmdk"), 16384, 3, 2, "./mid.vmdk", "version=3\n");
  writeImage(dir_.file("mid.vmdk"), 16384, 2, 1, "base.vmdk");
  writeImage(dir_.file("base.vmdk"), 4194304, 1, kNone, "",
             "createType=\"rootKind\"\nddb.virtualHWVersion = \"7\"\n"
             "ddb.adapterType = \"buslogic\"\n");
  RunResult run = info({"child.vmdk"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "Version        : 1\n"
            "CreateType     : rootKind\n"
            "HardwareVersion: 7\n"
            "AdapterType    : buslogic\n"
            "Capacity       : 16384 Sectors, 0 GBytes\n"
            "Grains         : 128 (65536 bytes each)\n"
            "GrainTables    : 64\n"
            "GrainDirSize   : 1\n"
            "Overhead       : 640\n"
            "\n"
            "Chained VMDKs:\n"
            "000 child.vmdk\n"
            "001 ./mid.vmdk\n"
            "002 base.vmdk\n"
            "\n");
}

TEST_F(InfoTest, DescriptorFileWithOnlyCommentsIsNoImage) {
  test::writeText(dir_.file("notes.vmdk"), "# a comment\n#another\n");
  expectFailure("notes.vmdk", "Unsupported image file notes.vmdk");
}

// An editor may save the descriptor file with a UTF-8 byte order mark; the
// first line's key still counts.
TEST_F(InfoTest, ByteOrderMarkBeforeTheFirstKey) {
  // The mark is EF BB BF, octal 357 273 277.
  writeSplit(dir_.path(), "marked", 2, "\357\273\277createType=\"twoGbMaxExtentSparse\"\n");
  RunResult run = info({"marked.vmdk"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  // 256 sectors: 2 grains in one table, a 1-sector directory, 1 + 20 +
  // 2 x (1 + 4) = 31 sectors of metadata rounded up to 128.
  EXPECT_EQ(run.out,
            "Version        : 1\n"
            "CreateType     : twoGbMaxExtentSparse\n"
            "HardwareVersion: 4\n"
            "AdapterType    : lsilogic\n"
            "Capacity       : 256 Sectors, 0 GBytes\n"
            "Grains         : 2 (65536 bytes each)\n"
            "GrainTables    : 1\n"
            "GrainDirSize   : 1\n"
            "Overhead       : 128\n"
            "\n");
}

// All extents of a split image are open at once; the run raises its own
// soft limit of open files, so 40 extents open under a soft limit of 16.
TEST_F(InfoTest, MoreExtentsThanTheSoftOpenFileLimit) {
#ifdef _WIN32
  SKARVEL_SKIP_ON_WINDOWS("a soft limit of open files that a shell can lower");
#else
  struct rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 64) {
    GTEST_SKIP() << "the hard limit of open files is below 64";
  }
  writeSplit(dir_.path(), "many", 40, "createType=\"twoGbMaxExtentSparse\"\n");
  RunResult run = test::runProgram(
      "sh", {"-c", "ulimit -Sn 16 && exec \"$0\" info many.vmdk", test::skarvelBinary()},
      dir_.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_NE(run.out.find("CreateType     : twoGbMaxExtentSparse\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Capacity       : 5120 Sectors, 0 GBytes\n"), std::string::npos);
#endif
}

TEST_F(InfoTest, MissingParentPrintsNothingOnStandardOutput) {
  writeImage(dir_.file("child.vmdk"), 16384, 3, 2, "mid.vmdk");
  expectFailure("child.vmdk", "Failed to open mid.vmdk");
  writeImage(dir_.file("mid.vmdk"), 16384, 2, 1, "base.vmdk");
  expectFailure("child.vmdk", "Failed to open base.vmdk");
}

TEST_F(InfoTest, ChainAcrossSubdirectories) {
  // The parent's hint is relative to d/sub/; the same text relative to the
  // child's directory d/ would name a stranger, whose fields differ.
  std::filesystem::create_directories(dir_.file("d/sub"));
  writeImage(dir_.file("d/child.vmdk"), 16384, 3, 2, "sub/parent.vmdk");
  writeImage(dir_.file("d/sub/parent.vmdk"), 16384, 2, 1, "../root.vmdk");
  writeImage(dir_.file("d/root.vmdk"), 2097152, 1, kNone, "");
  writeImage(dir_.file("root.vmdk"), 16384, 9, kNone, "", "ddb.adapterType = \"stranger\"\n");
  RunResult run = info({"d/child.vmdk"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "Version        : 1\n"
            "CreateType     : monolithicSparse\n"
            "HardwareVersion: 4\n"
            "AdapterType    : ide\n"
            "Capacity       : 16384 Sectors, 0 GBytes\n"
            "Grains         : 128 (65536 bytes each)\n"
            "GrainTables    : 32\n"
            "GrainDirSize   : 1\n"
            "Overhead       : 384\n"
            "\n"
            "Chained VMDKs:\n"
            "000 d/child.vmdk\n"
            "001 sub/parent.vmdk\n"
            "002 ../root.vmdk\n"
            "\n");
}

TEST_F(InfoTest, LoopEndsTheRun) {
  writeImage(dir_.file("a.vmdk"), 16384, 1, 2, "b.vmdk");
  writeImage(dir_.file("b.vmdk"), 16384, 2, 1, "a.vmdk");
  expectFailure("a.vmdk", "Parent chain loops back to a.vmdk");
}

TEST_F(InfoTest, ArgumentsAfterThePathAreIgnored) {
  writeImage(dir_.file("a.vmdk"), 16384, 1, kNone, "");
  RunResult alone = info({"a.vmdk"});
  RunResult more = info({"a.vmdk", "b.vmdk"});
  EXPECT_EQ(more.status, 0);
  EXPECT_EQ(more.err, "");
  EXPECT_EQ(more.out, alone.out);
  EXPECT_NE(alone.out, "");
}

// A raw disk's capacity is its length, a partial last sector counted whole;
// the geometry is that of the sparse file a copy makes. An empty file is no
// disk.
TEST_F(InfoTest, RawDiskCountsAPartialLastSector) {
  test::writeBytes(dir_.file("disk.raw"), test::Bytes(1000, 0x5A));
  test::writeBytes(dir_.file("empty.raw"), test::Bytes());
  RunResult run = info({"--format", "raw", "disk.raw"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "Version        : 1\n"
            "CreateType     : raw\n"
            "HardwareVersion: 4\n"
            "AdapterType    : lsilogic\n"
            "Capacity       : 2 Sectors, 0 GBytes\n"
            "Grains         : 1 (65536 bytes each)\n"
            "GrainTables    : 1\n"
            "GrainDirSize   : 1\n"
            "Overhead       : 128\n"
            "\n");
  RunResult empty = info({"-f", "raw", "empty.raw"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err, "Unsupported image file empty.raw\n");
  EXPECT_EQ(empty.out, "");
}

TEST_F(InfoTest, NoPathShowsTheUsage) {
  RunResult run = info({});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.rfind("Usage: ", 0), 0u) << run.out;
}

}  // namespace
}  // namespace skarvel
