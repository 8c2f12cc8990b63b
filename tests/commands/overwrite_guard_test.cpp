// copy and clone refuse to create any file over one they are reading: the
// input, its extents and every member of its chain, however the output path
// reaches it (same text, other spellings, links). create, copy and clone
// refuse names their descriptor text could not hold. Nothing may be created
// or changed when they refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "image_builder.h"
#include "run_tool.h"
#include "skip_on_windows.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

namespace fs = std::filesystem;

ExtentFixture extent(uint64_t capacity, const std::string& descriptor, uint8_t fill) {
  ExtentFixture image;
  image.capacity = capacity;
  image.descriptor = descriptor;
  image.grains[0] = grainOf(fill);
  return image;
}

std::string rootText(uint32_t cid, uint32_t parentCid, const std::string& hint,
                     const std::string& fileName) {
  return descriptorText(cid, parentCid, hint, "monolithicSparse",
                        "RW 16384 SPARSE \"" + fileName + "\"\n");
}

class OverwriteGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // a.vmdk, a root; link.vmdk (symbolic) and hard.vmdk (hard) name it too.
    writeSparseExtentFile(dir_.file("a.vmdk"),
                          extent(16384, rootText(0x1111, ~0u, "", "a.vmdk"), 0x0A));
#ifndef _WIN32  // symbolic links need a privilege there
    fs::create_symlink("a.vmdk", dir_.file("link.vmdk"));
#endif
    fs::create_hard_link(dir_.file("a.vmdk"), dir_.file("hard.vmdk"));
    fs::create_directory(dir_.file("sub"));
    // disk.vmdk, a split image; x.vmdk, another descriptor over the same extents.
    writeSparseExtentFile(dir_.file("disk-s001.vmdk"), extent(8192, "", 0x01));
    writeSparseExtentFile(dir_.file("disk-s002.vmdk"), extent(8192, "", 0x02));
    const std::string lines =
        "RW 8192 SPARSE \"disk-s001.vmdk\"\nRW 8192 SPARSE \"disk-s002.vmdk\"\n";
    writeText(dir_.file("disk.vmdk"),
              descriptorText(0x2222, ~0u, "", "twoGbMaxExtentSparse", lines));
    writeText(dir_.file("x.vmdk"), descriptorText(0x3333, ~0u, "", "twoGbMaxExtentSparse", lines));
    // child.vmdk -> middle.vmdk -> root.vmdk.
    writeSparseExtentFile(dir_.file("root.vmdk"),
                          extent(16384, rootText(0x4444, ~0u, "", "root.vmdk"), 0x44));
    writeSparseExtentFile(
        dir_.file("middle.vmdk"),
        extent(16384, rootText(0x5555, 0x4444, "root.vmdk", "middle.vmdk"), 0x55));
    writeSparseExtentFile(
        dir_.file("child.vmdk"),
        extent(16384, rootText(0x6666, 0x5555, "middle.vmdk", "child.vmdk"), 0x66));
    // top.vmdk -> disk.vmdk, a child of the split image.
    writeSparseExtentFile(dir_.file("top.vmdk"),
                          extent(16384, rootText(0x7777, 0x2222, "disk.vmdk", "top.vmdk"), 0x77));
  }

  ScopedTempDir dir_;
};

TEST_F(OverwriteGuardTest, RefusesOutputsThatAreInputs) {
  struct Case {
    std::vector<std::string> args;
    std::string path;  // the output-side path named in the message
  };
  const Case cases[] = {
      {{"copy", "a.vmdk", "a.vmdk"}, "a.vmdk"},
      {{"copy", "a.vmdk", "./a.vmdk"}, "./a.vmdk"},
      {{"copy", "a.vmdk", "sub/../a.vmdk"}, "sub/../a.vmdk"},
      {{"copy", "a.vmdk", dir_.file("a.vmdk")}, dir_.file("a.vmdk")},
      {{"copy", "a.vmdk", "link.vmdk"}, "link.vmdk"},
      {{"copy", "link.vmdk", "hard.vmdk"}, "hard.vmdk"},
      {{"copy", "-p", "a.vmdk", "a.vmdk"}, "a.vmdk"},
      // A split output whose extent would be an input extent; extents are
      // created before the descriptor file, so the first of them is named.
      {{"copy", "x.vmdk", "disk.vmdk"}, "disk-s001.vmdk"},
      {{"copy", "-p", "disk.vmdk", "disk.vmdk"}, "disk-s001.vmdk"},
      {{"copy", "-m", "disk.vmdk", "disk-s002.vmdk"}, "disk-s002.vmdk"},
      // Any member of the chain, also one that -c leaves unread.
      {{"copy", "child.vmdk", "child.vmdk"}, "child.vmdk"},
      {{"copy", "child.vmdk", "middle.vmdk"}, "middle.vmdk"},
      {{"copy", "child.vmdk", "root.vmdk"}, "root.vmdk"},
      {{"copy", "-c", "1", "child.vmdk", "root.vmdk"}, "root.vmdk"},
      {{"copy", "-f", "raw", "-t", "raw", "a.vmdk", "./a.vmdk"}, "./a.vmdk"},
      {{"copy", "-t", "twoGbMaxExtentFlat", "a.vmdk", "a.vmdk"}, "a.vmdk"},
      {{"copy", "-t", "streamOptimized", "child.vmdk", "root.vmdk"}, "root.vmdk"},
      {{"clone", "a.vmdk", "a.vmdk"}, "a.vmdk"},
      {{"clone", "a.vmdk", "link.vmdk"}, "link.vmdk"},
      {{"clone", "-p", "disk.vmdk", "disk.vmdk"}, "disk-s001.vmdk"},
      {{"clone", "-m", "disk.vmdk", "disk-s001.vmdk"}, "disk-s001.vmdk"},
      {{"clone", "x.vmdk", "disk.vmdk"}, "disk-s001.vmdk"},
      // A clone stands on every file of its input's chain, extents included.
      {{"clone", "child.vmdk", "middle.vmdk"}, "middle.vmdk"},
      {{"clone", "child.vmdk", "root.vmdk"}, "root.vmdk"},
      {{"clone", "-p", "child.vmdk", "./root.vmdk"}, "./root.vmdk"},
      {{"clone", "top.vmdk", "disk-s002.vmdk"}, "disk-s002.vmdk"},
      {{"clone", "top.vmdk", "disk.vmdk"}, "disk.vmdk"},
  };
  const auto before = snapshot(dir_.path());
  for (const Case& c : cases) {
#ifdef _WIN32  // no link.vmdk (see SetUp)
    if (std::find(c.args.begin(), c.args.end(), "link.vmdk") != c.args.end()) continue;
#endif
    std::string line;
    for (const std::string& arg : c.args) line += arg + " ";
    SCOPED_TRACE(line);
    RunResult run = runSkarvel(c.args, dir_.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Output would overwrite input file " + c.path + "\n");
    EXPECT_EQ(run.out, "");
    ASSERT_EQ(snapshot(dir_.path()), before);
  }
}

// clone walks its input's chain only as far as it opens: a chain that is
// broken or loops still lets it make a child elsewhere.
TEST_F(OverwriteGuardTest, CloneWalksTheChainAsFarAsItOpens) {
  std::filesystem::remove(dir_.file("root.vmdk"));
  writeSparseExtentFile(dir_.file("loop1.vmdk"),
                        extent(16384, rootText(0x8881, 0x8882, "loop2.vmdk", "loop1.vmdk"), 1));
  writeSparseExtentFile(dir_.file("loop2.vmdk"),
                        extent(16384, rootText(0x8882, 0x8881, "loop1.vmdk", "loop2.vmdk"), 2));
  const auto before = snapshot(dir_.path());
  for (const char* input : {"child.vmdk", "loop1.vmdk"}) {
    std::string parent = input[0] == 'c' ? "middle.vmdk" : "loop2.vmdk";
    RunResult run = runSkarvel({"clone", input, parent}, dir_.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Output would overwrite input file " + parent + "\n");
    ASSERT_EQ(snapshot(dir_.path()), before);
  }
  for (const char* input : {"child.vmdk", "loop1.vmdk"}) {
    RunResult run = runSkarvel({"clone", input, std::string("new-") + input}, dir_.path());
    EXPECT_EQ(run.status, 0) << input;
    EXPECT_EQ(run.err, "") << input;
  }
  EXPECT_EQ(filesIn(dir_.path()), before.size() + 2);
}

// Names that descriptor text records between quotes (the output's file name,
// its extent names, a clone's or a copy's parent hint, the names convert
// writes back) cannot hold '"', CR or LF. The refusal names the output path,
// or the parent's or extent's, and comes before anything is written.
TEST_F(OverwriteGuardTest, RefusesNamesDescriptorTextCannotHold) {
  SKARVEL_SKIP_ON_WINDOWS("file names that hold '\"', CR or LF");
  // q"in.vmdk, a root with a quote in its name; hinted.vmdk, a child whose
  // stored hint (a bare token) names p"arent.vmdk.
  writeSparseExtentFile(dir_.file("q\"in.vmdk"),
                        extent(16384, rootText(0x9991, ~0u, "", "q\"in.vmdk"), 0x91));
  writeSparseExtentFile(dir_.file("p\"arent.vmdk"),
                        extent(16384, rootText(0x9992, ~0u, "", "p\"arent.vmdk"), 0x92));
  std::string text =
      rootText(0x9993, 0x9992, "", "hinted.vmdk") + "parentFileNameHint=p\"arent.vmdk\n";
  writeSparseExtentFile(dir_.file("hinted.vmdk"), extent(16384, text, 0x93));
  writeText(dir_.file("split.vmdk"),
            "createType=\"twoGbMaxExtentSparse\"\n"
            "RW 16384 SPARSE p\"arent.vmdk\n");
  struct Case {
    std::vector<std::string> args;
    std::string path;  // named in the message
  };
  const Case cases[] = {
      {{"create", "-s", "8M", "q\"t.vmdk"}, "q\"t.vmdk"},
      {{"create", "-s", "1M", "cr\r.vmdk"}, "cr\r.vmdk"},  // before the size check
      {{"create", "-p", "-s", "4G", "sub/lf\n.vmdk"}, "sub/lf\n.vmdk"},
      {{"copy", "a.vmdk", "q\"t.vmdk"}, "q\"t.vmdk"},
      {{"copy", "-p", "a.vmdk", "q\"t.vmdk"}, "q\"t.vmdk"},
      {{"copy", "q\"in.vmdk", "q\"in.vmdk"}, "q\"in.vmdk"},  // before the overwrite guard
      {{"clone", "a.vmdk", "q\"t"}, "q\"t"},
      {{"clone", "q\"in.vmdk", "out.vmdk"}, "q\"in.vmdk"},
      {{"clone", "-p", "q\"in.vmdk", "sub/out.vmdk"}, "q\"in.vmdk"},
      {{"copy", "-c", "1", "hinted.vmdk", "out.vmdk"}, "p\"arent.vmdk"},
      {{"copy", "-c", "1", "hinted.vmdk", "sub/out.vmdk"}, "p\"arent.vmdk"},
      {{"convert", "q\"in.vmdk", "hwver=6"}, "q\"in.vmdk"},
      {{"convert", "split.vmdk", "hwver=6"}, "p\"arent.vmdk"},
  };
  const auto before = snapshot(dir_.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    RunResult run = runSkarvel(c.args, dir_.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Unsupported file name " + c.path + "\n");
    EXPECT_EQ(run.out, "");
    ASSERT_EQ(snapshot(dir_.path()), before);
    ASSERT_EQ(snapshot(dir_.file("sub")), (std::map<std::string, Bytes>{}));
  }
  // The directory part of the output path is not recorded.
  std::filesystem::create_directory(dir_.file("d\"ir"));
  RunResult run = runSkarvel({"copy", "a.vmdk", "d\"ir/out.vmdk"}, dir_.path());
  EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(OverwriteGuardTest, OtherExistingFilesAreStillReplaced) {
  // Existing files that the command does not read are replaced as before:
  // disk.vmdk by a single-file clone of x.vmdk, middle.vmdk by a copy of a.vmdk.
  RunResult run = runSkarvel({"clone", "-m", "x.vmdk", "disk.vmdk"}, dir_.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(le32At(readBytes(dir_.file("disk.vmdk")), 0), 0x564D444Bu);
  run = runSkarvel({"copy", "a.vmdk", "middle.vmdk"}, dir_.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readBytes(dir_.file("middle.vmdk"))[128 * 512], 0x0A);
}

}  // namespace
}  // namespace skarvel::test
