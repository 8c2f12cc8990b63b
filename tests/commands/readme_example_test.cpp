// The worked example of the README, run command by command as a reader of it
// would: create, info, clone, a write by another tool, copy, convert, info.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "run_tool.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

std::string report(const std::string& hw, const std::string& adapter) {
  return "Version        : 1\n"
         "CreateType     : monolithicSparse\n"
         "HardwareVersion: " +
         hw +
         "\n"
         "AdapterType    : " +
         adapter +
         "\n"
         "Capacity       : 2097152 Sectors, 1 GBytes\n"
         "Grains         : 16384 (65536 bytes each)\n"
         "GrainTables    : 32\n"
         "GrainDirSize   : 1\n"
         "Overhead       : 384\n"
         "\n";
}

TEST(ReadmeExampleTest, WorkedExample) {
  ScopedTempDir dir;
  auto run = [&](const std::vector<std::string>& args) {
    RunResult result = runSkarvel(args, dir.path());
    EXPECT_EQ(result.status, 0) << args[0] << ": " << result.err;
    EXPECT_EQ(result.err, "") << args[0];
    return result;
  };

  EXPECT_EQ(run({"create", "-s", "1G", "base.vmdk"}).out, "");
  EXPECT_EQ(run({"info", "base.vmdk"}).out, report("4", "lsilogic"));
  EXPECT_EQ(run({"clone", "base.vmdk", "child.vmdk"}).out, "");

  // The write by another tool; without it the rest still runs on an empty child.
  bool wrote = havePeer("qemu-io");
  if (wrote) {
    RunResult write =
        runProgram("qemu-io", {"-c", "write -P 0x42 0 64k", "child.vmdk"}, dir.path());
    ASSERT_EQ(write.status, 0) << write.err;
  } else if (std::getenv("CI") != nullptr) {
    FAIL() << peerMissing("qemu-io");
  }

  std::string progress = run({"copy", "child.vmdk", "flat.vmdk"}).out;
  EXPECT_EQ(progress.rfind("Copying 16387 Grains ...\n1/16387, 0%\r", 0), 0u);
  EXPECT_EQ(progress.substr(progress.size() - 20), "\r16387/16387, 100%\r\n");
  EXPECT_EQ(run({"convert", "flat.vmdk", "hwver=6", "adapter=buslogic"}).out, "");
  // A root: no chain block after the report.
  EXPECT_EQ(run({"info", "flat.vmdk"}).out, report("6", "buslogic"));

  // flat.vmdk holds the child's one grain (after 384 sectors of metadata), or none.
  Bytes flat = readBytes(dir.file("flat.vmdk"));
  ASSERT_EQ(flat.size(), (384u + (wrote ? 128 : 0)) * 512);
  if (wrote) {
    uint64_t table = le32At(flat, le64At(flat, 56) * 512);
    EXPECT_EQ(le32At(flat, table * 512), 384u);
    EXPECT_TRUE(
        std::all_of(flat.begin() + 384 * 512, flat.end(), [](uint8_t b) { return b == 0x42; }));
  }
  if (!wrote) GTEST_SKIP() << peerMissing("qemu-io") << " (the write step was left out)";
}

}  // namespace
}  // namespace skarvel::test
