// rebase on chains the general tool made: a child pointed at another parent,
// or at its parent moved or renamed, reads as before (the general tool
// compares it with a copy made before), and every refusal leaves the files
// as they were.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "run_tool.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

namespace fs = std::filesystem;

class RebaseTest : public ::testing::Test {
 protected:
  // base.vmdk (100M) <- child.vmdk (80M), and other.vmdk (60M), each with
  // data where the others have some; before.vmdk reads as the child.
  void SetUp() override {
    SKARVEL_REQUIRE_PEER("qemu-img");
    SKARVEL_REQUIRE_PEER("qemu-io");
    qemu("qemu-img", {"create", "-f", "vmdk", "base.vmdk", "100M"});
    qemu("qemu-io", {"-c", "write -P 0x11 0 4M", "-c", "write -P 0x12 70M 1M", "base.vmdk"});
    qemu("qemu-img", {"create", "-f", "vmdk", "other.vmdk", "60M"});
    qemu("qemu-io", {"-c", "write -P 0x21 2M 4M", "-c", "write -P 0x22 59M 1M", "other.vmdk"});
    qemu("qemu-img",
         {"create", "-f", "vmdk", "-b", "base.vmdk", "-F", "vmdk", "child.vmdk", "80M"});
    qemu("qemu-io", {"-c", "write -P 0x31 1M 64k", "child.vmdk"});
    ASSERT_EQ(runSkarvel({"copy", "child.vmdk", "before.vmdk"}, dir_.path()).status, 0);
  }

  void qemu(const std::string& program, const std::vector<std::string>& args) {
    RunResult run = runProgram(program, args, dir_.path());
    ASSERT_EQ(run.status, 0) << program << ": " << run.out << run.err;
  }

  // The child reads as before and checks clean, through |parent|.
  void expectUnchanged(const std::string& child, const std::string& parent) {
    RunResult compare = runProgram("qemu-img", {"compare", "before.vmdk", child}, dir_.path());
    EXPECT_EQ(compare.out, "Images are identical.\n") << compare.err;
    EXPECT_EQ(runProgram("qemu-img", {"check", child}, dir_.path()).status, 0);
    RunResult info = runProgram("qemu-img", {"info", child}, dir_.path());
    EXPECT_NE(info.out.find("backing file: " + parent), std::string::npos) << info.out;
  }

  ScopedTempDir dir_;
};

TEST_F(RebaseTest, ChildReadsAsBeforeOverAnotherParent) {
  // Our own split child too, and a child that had no parent.
  ASSERT_EQ(runSkarvel({"clone", "-p", "base.vmdk", "split.vmdk"}, dir_.path()).status, 0);
  qemu("qemu-io", {"-c", "write -P 0x41 3M 64k", "split.vmdk"});
  for (const char* child : {"child.vmdk", "split.vmdk", "before.vmdk"}) {
    SCOPED_TRACE(child);
    ASSERT_EQ(runSkarvel({"copy", child, "was.vmdk"}, dir_.path()).status, 0);
    // The split child reports for programs: 127 grains where base.vmdk and
    // other.vmdk differ (0-6M but its own grain at 3M, 59-60M, 70-71M).
    bool json = child == std::string("split.vmdk");
    RunResult run = runSkarvel(json ? std::vector<std::string>{"rebase", "-j", child, "other.vmdk"}
                                    : std::vector<std::string>{"rebase", child, "other.vmdk"},
                               dir_.path());
    EXPECT_EQ(run.status, 0) << run.err;
    if (json) {
      auto cid = nlohmann::json::parse(runSkarvel({"info", "-j", "other.vmdk"}, dir_.path()).out);
      EXPECT_EQ(nlohmann::json::parse(run.out),
                nlohmann::json({{"file", "split.vmdk"},
                                {"parent_file_name_hint", "other.vmdk"},
                                {"parent_cid", cid["cid"]},
                                {"grains_stored", 127}}));
    }
    RunResult compare = runProgram("qemu-img", {"compare", "was.vmdk", child}, dir_.path());
    EXPECT_EQ(compare.out, "Images are identical.\n") << compare.err;
    EXPECT_EQ(runProgram("qemu-img", {"check", child}, dir_.path()).status, 0);
    fs::remove(dir_.file("was.vmdk"));
  }
}

TEST_F(RebaseTest, LinkOnlyFollowsAMovedAndRenamedParent) {
  fs::create_directory(dir_.file("moved"));
  fs::rename(dir_.file("base.vmdk"), dir_.file("moved/renamed.vmdk"));
  RunResult run = runSkarvel({"rebase", "-l", "child.vmdk", "moved/renamed.vmdk"}, dir_.path());
  EXPECT_EQ(run.status, 0) << run.err;
  expectUnchanged("child.vmdk", "moved/renamed.vmdk");
  // The child moves too, below its parent: the hint is relative to it.
  fs::rename(dir_.file("child.vmdk"), dir_.file("moved/child.vmdk"));
  run =
      runSkarvel({"rebase", "--link-only", "moved/child.vmdk", "moved/renamed.vmdk"}, dir_.path());
  EXPECT_EQ(run.status, 0) << run.err;
  expectUnchanged("moved/child.vmdk", "renamed.vmdk");
}

TEST_F(RebaseTest, RefusalsChangeNothing) {
  const struct {
    std::vector<std::string> args;
    const char* err;
  } cases[] = {
      {{"-l", "child.vmdk", "other.vmdk"}, "Parent CID does not match other.vmdk\n"},
      {{"base.vmdk", "child.vmdk"}, "Parent chain loops back to base.vmdk\n"},
      {{"child.vmdk", "child.vmdk"}, "Parent chain loops back to child.vmdk\n"},
      {{"child.vmdk", "gone.vmdk"}, "Failed to open gone.vmdk\n"},
      {{"damaged.vmdk", "other.vmdk"}, "Damaged image file damaged.vmdk\n"},
  };
  // Its redundant directory (header bytes 48-55, sector 21) moved 2^41
  // sectors on, 1 PiB into the file.
  Bytes damaged = readBytes(dir_.file("child.vmdk"));
  damaged[48 + 5] |= 2;
  writeBytes(dir_.file("damaged.vmdk"), damaged);
  auto before = snapshot(dir_.path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    std::vector<std::string> args = {"rebase"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult run = runSkarvel(args, dir_.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(snapshot(dir_.path()), before);
  }
  // Without -l the old chain must open: with base.vmdk gone, it does not.
  fs::rename(dir_.file("base.vmdk"), dir_.file("elsewhere.vmdk"));
  RunResult run = runSkarvel({"rebase", "child.vmdk", "other.vmdk"}, dir_.path());
  EXPECT_EQ(run.err, "Failed to open base.vmdk\n");
  EXPECT_EQ(readBytes(dir_.file("child.vmdk")), before.at("child.vmdk"));
}

// The Nth write fails, for every N until rebase succeeds: each time the
// child (2000 sectors, not whole grains; its last grain cut short) reads
// as before, and a rerun leaves it checking clean.
TEST_F(RebaseTest, AFailedWriteAtAnyStepLeavesTheChildAndARerunFinishes) {
  qemu("qemu-img", {"create", "-f", "vmdk", "small-base.vmdk", "1000k"});
  qemu("qemu-io", {"-c", "write -P 0x51 0 128k", "small-base.vmdk"});
  qemu("qemu-img", {"create", "-f", "vmdk", "small-other.vmdk", "1000k"});
  for (uint64_t writes = 0, status = 1; status != 0; ++writes) {
    SCOPED_TRACE(writes);
    qemu("qemu-img", {"create", "-f", "vmdk", "-b", "small-base.vmdk", "-F", "vmdk", "small.vmdk"});
    qemu("qemu-io", {"-c", "write -P 0 960k 4k", "small.vmdk"});  // a grain the file ends 4k into
    fs::resize_file(dir_.file("small.vmdk"), fs::file_size(dir_.file("small.vmdk")) - 60 * 1024);
    status = runFailingWritesAfter(
        writes, {"rebase", dir_.file("small.vmdk"), dir_.file("small-other.vmdk")});
    // Read by skarvel: the link the in-process run records names the new
    // parent by the absolute path it was given, which on Windows only
    // Windows programs read.
    EXPECT_EQ(runSkarvel({"compare", "small-base.vmdk", "small.vmdk"}, dir_.path()).out,
              "Identical\n");
    if (status != 0) {
      // The mark from the first write on (beside, at times, a grain that only
      // the redundant table names yet).
      std::string left = runSkarvel({"check", "small.vmdk"}, dir_.path()).out;
      EXPECT_EQ(left.starts_with("small.vmdk: the header says the file was not closed cleanly\n"),
                writes != 0);
      EXPECT_EQ(runSkarvel({"rebase", "small.vmdk", "small-other.vmdk"}, dir_.path()).err, "");
    }
    EXPECT_EQ(runSkarvel({"check", "small.vmdk"}, dir_.path()).status, 0);  // leaks allowed
    ASSERT_LT(writes, 100u);
  }
}

}  // namespace
}  // namespace skarvel::test
