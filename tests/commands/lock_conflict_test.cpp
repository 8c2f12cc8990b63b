// Files in use: one program holds a file, another tries to use it, and what it says. Locks held
// by this test's process stand for a running copy: the same file layer, the same flags. A
// refused run leaves every file as it was.
#include <gtest/gtest.h>

#include "platform/file.h"
#include "run_tool.h"
#include "skip_on_windows.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

enum class Holder { kReader, kWriter, kQemuIo };

struct LockCase {
  Holder holder;
  const char* held;
  std::vector<std::string> tries;  // "skarvel" or a peer, then the arguments
  const char* expected;            // first line on stderr; empty: the run succeeds
};

// clang-format off
const LockCase kCases[] = {
    // Two copies to one output, the extents of the output, the input and its chain; readers share.
    {Holder::kWriter, "out.vmdk", {"skarvel", "copy", "in.vmdk", "out.vmdk"}, "File is in use out.vmdk"},
    {Holder::kWriter, "split-s002.vmdk", {"skarvel", "copy", "big.vmdk", "split.vmdk"}, "File is in use split-s002.vmdk"},
    {Holder::kReader, "in.vmdk", {"skarvel", "convert", "in.vmdk", "hwver=6"}, "File is in use in.vmdk"},
    {Holder::kWriter, "big-s002.vmdk", {"skarvel", "copy", "big.vmdk", "x.vmdk"}, "File is in use big-s002.vmdk"},
    {Holder::kWriter, "in.vmdk", {"skarvel", "copy", "child.vmdk", "x.vmdk"}, "File is in use in.vmdk"},
    {Holder::kReader, "in.vmdk", {"skarvel", "clone", "in.vmdk", "x.vmdk"}, ""},
    {Holder::kQemuIo, "out.vmdk", {"skarvel", "copy", "in.vmdk", "out.vmdk"}, "File is in use out.vmdk"},
    {Holder::kQemuIo, "in.vmdk", {"skarvel", "convert", "in.vmdk", "hwver=6"}, "File is in use in.vmdk"},
    {Holder::kQemuIo, "in.vmdk", {"skarvel", "copy", "in.vmdk", "x.vmdk"}, "File is in use in.vmdk"},
    {Holder::kWriter, "out.vmdk", {"qemu-img", "info", "out.vmdk"},
     "qemu-img: Could not open 'out.vmdk': Failed to get shared \"write\" lock"},
    {Holder::kReader, "in.vmdk", {"qemu-io", "-c", "write 0 512", "in.vmdk"},
     "qemu-io: can't open device in.vmdk: Failed to get \"write\" lock"},
};
const std::vector<std::string> kSetup[] = {{"create", "-s", "8M", "in.vmdk"}, {"clone", "in.vmdk", "child.vmdk"},
    {"create", "-s", "8M", "out.vmdk"}, {"create", "-s", "8M", "split-s002.vmdk"}, {"create", "-p", "-s", "2048M", "big.vmdk"}};
// clang-format on

class LockConflictTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& args : kSetup) ASSERT_EQ(runSkarvel(args, dir_.path()).status, 0) << args[0];
  }

  RunResult attempt(const LockCase& c) {
    std::vector<std::string> args(c.tries.begin() + 1, c.tries.end());
    std::string program = c.tries[0] == "skarvel" ? skarvelBinary() : c.tries[0];
    if (c.holder == Holder::kQemuIo) {
      ScopedTempDir fifo;  // qemu-io holds the image until "quit" comes through a FIFO
      const std::string script =
          "mkfifo \"$0/in\" && { qemu-io \"$1\" <\"$0/in\" >\"$0/out\" 2>&1 & } && "
          "exec 3>\"$0/in\" && echo 'read 0 512' >&3 && shift && for i in $(seq 200); do "
          "grep -q bytes \"$0/out\" && break; sleep 0.05; done; \"$@\"; s=$?; echo quit >&3; "
          "wait; exit $s";
      args.insert(args.begin(), {"-c", script, fifo.path(), c.held, program});
      return runProgram("sh", args, dir_.path());
    }
    int fd = platform::openFile(dir_.file(c.held),
                                c.holder == Holder::kWriter
                                    ? platform::kOpenReadWrite | platform::kOpenLockWrite
                                    : platform::kOpenReadOnly | platform::kOpenLockRead);
    EXPECT_GE(fd, 0) << c.held;
    RunResult run = runProgram(program, args, dir_.path());
    platform::closeFile(fd);
    return run;
  }

  void runCases(bool withQemu) {
    for (const LockCase& c : kCases) {
      if ((c.holder == Holder::kQemuIo || c.tries[0] != "skarvel") != withQemu) continue;
      SCOPED_TRACE(c.tries[0] + " " + c.tries[1] + " with " + c.held + " held");
      auto before = snapshot(dir_.path());
      RunResult run = attempt(c);
      EXPECT_EQ(run.err.substr(0, run.err.find_first_of("\r\n")), c.expected);
      EXPECT_EQ(run.status, *c.expected ? 1 : 0);
      EXPECT_TRUE(!*c.expected || snapshot(dir_.path()) == before) << "files changed";
      platform::removeFile(dir_.file("x.vmdk"));
    }
  }

  ScopedTempDir dir_;
};

TEST_F(LockConflictTest, SkarvelAgainstSkarvel) { runCases(false); }

TEST_F(LockConflictTest, QemuAgainstSkarvel) {
  SKARVEL_SKIP_ON_WINDOWS("the byte-range locks through which qemu and skarvel see each other");
  SKARVEL_REQUIRE_PEER("qemu-io");  // and qemu-img, from the same package
  runCases(true);
}

}  // namespace
}  // namespace skarvel::test
