// rebase on chains the general tool made: a child pointed at another parent,
// or at its parent moved or renamed, reads as before (the general tool
// compares it with a copy made before), and every refusal leaves the files
// as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "cli/entry.h"
#include "platform/file.h"
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
    RunResult run = runSkarvel({"rebase", child, "other.vmdk"}, dir_.path());
    EXPECT_EQ(run.status, 0) << run.err;
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
  // A child whose redundant directory (header bytes 48-55) is said to lie
  // at sector 2^41, 1 PiB into the file.
  Bytes damaged = readBytes(dir_.file("child.vmdk"));
  std::fill_n(damaged.begin() + 48, 8, 0);
  damaged[48 + 5] = 2;
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
// child reads as before, and a rerun finishes with a child that checks clean.
TEST_F(RebaseTest, AFailedWriteAtAnyStepLeavesTheChildAndARerunFinishes) {
  qemu("qemu-img", {"create", "-f", "vmdk", "small-base.vmdk", "1M"});
  qemu("qemu-io", {"-c", "write -P 0x51 0 128k", "small-base.vmdk"});
  qemu("qemu-img", {"create", "-f", "vmdk", "small-other.vmdk", "1M"});
  ASSERT_EQ(runSkarvel({"copy", "small-base.vmdk", "small-was.vmdk"}, dir_.path()).status, 0);
  for (uint64_t writes = 0;; ++writes) {
    SCOPED_TRACE(writes);
    fs::remove(dir_.file("small.vmdk"));
    ASSERT_EQ(runSkarvel({"clone", "small-base.vmdk", "small.vmdk"}, dir_.path()).status, 0);
    std::vector<std::string> args = {"skarvel", "rebase", dir_.file("small.vmdk"),
                                     dir_.file("small-other.vmdk")};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    platform::failWritesAfter(writes);
    int status = runCommandLine(static_cast<int>(args.size()), argv.data());
    platform::failWritesAfter(platform::kNoWriteFault);
    RunResult compare =
        runProgram("qemu-img", {"compare", "small-was.vmdk", "small.vmdk"}, dir_.path());
    EXPECT_EQ(compare.out, "Images are identical.\n") << compare.err;
    if (status == 0) break;
    ASSERT_EQ(status, 1);
    EXPECT_EQ(runSkarvel({"rebase", "small.vmdk", "small-other.vmdk"}, dir_.path()).status, 0);
    // Leaks are left, no problem.
    EXPECT_EQ(runSkarvel({"check", "small.vmdk"}, dir_.path()).status, 0);
    ASSERT_LT(writes, 100u);
  }
}

// An image of 204803 sectors, not whole grains: rewrites keep its extent
// line at the header's capacity.
TEST_F(RebaseTest, RewritesKeepACapacityOfPartGrains) {
  qemu("qemu-img",
       {"create", "-f", "vmdk", "-b", "base.vmdk", "-F", "vmdk", "odd.vmdk", "104859136"});
  qemu("qemu-img", {"create", "-f", "vmdk", "odd-root.vmdk", "104859136"});
  const std::vector<std::string> runs[] = {{"rebase", "odd.vmdk", "other.vmdk"},
                                           {"rebase", "-l", "odd.vmdk", "other.vmdk"},
                                           {"convert", "odd-root.vmdk", "hwver=6"}};
  for (const auto& args : runs) {
    std::string image = args[args.size() - 2] == "odd-root.vmdk" ? "odd-root.vmdk" : "odd.vmdk";
    SCOPED_TRACE(args[1]);
    EXPECT_EQ(runSkarvel(args, dir_.path()).err, "");
    EXPECT_NE(embeddedText(readBytes(dir_.file(image))).find("\nRW 204803 SPARSE "),
              std::string::npos);
    EXPECT_EQ(runSkarvel({"check", image}, dir_.path()).out, "0 problems found\n");
  }
}

// Work follows the grains the chains hold, not the capacity: an empty
// 64 GiB child onto an empty 64 GiB image takes at most twice as long as a
// copy of the child (best of three each, side by side).
TEST_F(RebaseTest, CostFollowsTheGrainsHeldNotTheCapacity) {
  for (const char* name : {"empty.vmdk", "empty-other.vmdk"}) {
    ASSERT_EQ(runSkarvel({"create", "-s", "64G", name}, dir_.path()).status, 0);
  }
  ASSERT_EQ(runSkarvel({"clone", "empty.vmdk", "big.vmdk"}, dir_.path()).status, 0);
  auto seconds = [&](const std::vector<std::string>& args) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runSkarvel(args, dir_.path()).status, 0);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  double copy = 1e9, rebase = 1e9;
  for (int i = 0; i < 3; ++i) {
    fs::remove(dir_.file("copy.vmdk"));
    copy = std::min(copy, seconds({"copy", "big.vmdk", "copy.vmdk"}));
    rebase = std::min(rebase, seconds({"rebase", "big.vmdk", "empty-other.vmdk"}));
  }
  EXPECT_LE(rebase, 2 * copy);
}

}  // namespace
}  // namespace skarvel::test
