// compact as a user meets it: images of each kind the general tool wrote,
// with grains of zeros and leaked space, compacted in place read as before
// (the general tool compares them with a copy made before), check clean,
// and their files shrink by the grains of zeros that no read needs; a write
// that fails at any step leaves an image that reads as before, and a rerun
// finishes.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <vector>

#include "platform/file.h"
#include "run_tool.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kGrain = 64 * 1024;

void run(const std::string& program, const std::vector<std::string>& args,
         const ScopedTempDir& dir) {
  RunResult r =
      program == "skarvel" ? runSkarvel(args, dir.path()) : runProgram(program, args, dir.path());
  ASSERT_EQ(r.status, 0) << program << " " << ::testing::PrintToString(args) << ": " << r.err;
}

// in.vmdk, to compact, and ref.vmdk, a copy of what it reads made before.
// |shrinks| names each file that gets shorter and by how many grains: the
// grains of zeros written where nothing below shows through (in a child
// without the zeroed-grain flag, zeros over the parent's data stay), plus
// leaked grains.
struct Input {
  const char* what;
  std::function<void(const ScopedTempDir&)> make;
  std::vector<std::pair<const char*, uint64_t>> shrinks;
};

void write(const ScopedTempDir& dir, const std::string& file,
           const std::vector<std::string>& commands) {
  std::vector<std::string> args;
  for (const std::string& command : commands) args.insert(args.end(), {"-c", "write " + command});
  args.push_back(file);
  run("qemu-io", args, dir);
}

void makeChild(const ScopedTempDir& d, const char* options) {
  run("qemu-img", {"create", "-f", "vmdk", "base.vmdk", "64M"}, d);
  write(d, "base.vmdk", {"-P 0x44 0 2M"});
  run("qemu-img",
      {"create", "-f", "vmdk", "-o", options, "-b", "base.vmdk", "-F", "vmdk", "in.vmdk", "64M"},
      d);
  // 16 grains of zeros over the parent's data, 16 over its holes.
  write(d, "in.vmdk", {"-P 0 0 1M", "-P 0 8M 1M", "-P 0x55 10M 1M"});
}

const Input kInputs[] = {
    {"one file, with a leaked grain at its end",
     [](auto& d) {
       run("qemu-img", {"create", "-f", "vmdk", "in.vmdk", "64M"}, d);
       write(d, "in.vmdk", {"-P 0x11 0 1M", "-P 0 1M 2M", "-P 0x12 3M 64k", "-P 0 10M 64k"});
       Bytes file = readBytes(d.file("in.vmdk"));
       file.resize(file.size() + kGrain, 0x5A);
       writeBytes(d.file("in.vmdk"), file);
     },
     {{"in.vmdk", 32 + 1 + 1}}},
    {"a child of version 1", [](auto& d) { makeChild(d, "zeroed_grain=off"); }, {{"in.vmdk", 16}}},
    {"a child of version 2: zeros over data become zeroed grains",
     [](auto& d) { makeChild(d, "zeroed_grain=on"); },
     {{"in.vmdk", 32}}},
    {"split",
     [](auto& d) {
       run("qemu-img",
           {"create", "-f", "vmdk", "-o", "subformat=twoGbMaxExtentSparse", "in.vmdk", "4200M"}, d);
       write(d, "in.vmdk",
             {"-P 0x11 0 1M", "-P 0 1M 1M", "-P 0x12 2M 64k", "-P 0 2100M 1M", "-P 0x13 2200M 64k",
              "-P 0 4150M 1M", "-P 0x14 4160M 64k"});
     },
     {{"in-s001.vmdk", 16}, {"in-s002.vmdk", 16}, {"in-s003.vmdk", 16}}},
    {"monolithicFlat: zeros become a hole, the length stays",
     [](auto& d) {
       run("qemu-img", {"create", "-f", "vmdk", "-o", "subformat=monolithicFlat", "in.vmdk", "64M"},
           d);
       write(d, "in.vmdk", {"-P 0x11 0 1M", "-P 0 1M 3M", "-P 0x12 6M 64k"});
     },
     {}},
};

// The lengths of the files of |dir| whose names begin with "in".
std::map<std::string, uint64_t> lengths(const ScopedTempDir& dir) {
  std::map<std::string, uint64_t> result;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    std::string name = entry.path().filename().string();
    if (name.starts_with("in")) result[name] = fs::file_size(entry.path());
  }
  return result;
}

std::map<std::string, uint64_t> lengthsAfter(const Input& input,
                                             std::map<std::string, uint64_t> before) {
  for (const auto& [file, grains] : input.shrinks) before[file] -= grains * kGrain;
  return before;
}

// in.vmdk reads as ref.vmdk for the general tool and for skarvel.
void expectReadsAsBefore(const ScopedTempDir& dir) {
  RunResult compare = runProgram("qemu-img", {"compare", "ref.vmdk", "in.vmdk"}, dir.path());
  EXPECT_EQ(compare.out, "Images are identical.\n") << compare.err;
  EXPECT_EQ(runSkarvel({"compare", "ref.vmdk", "in.vmdk"}, dir.path()).out, "Identical\n");
}

void expectCompacted(const Input& input, const ScopedTempDir& dir,
                     const std::map<std::string, uint64_t>& before) {
  expectReadsAsBefore(dir);
  EXPECT_EQ(lengths(dir), lengthsAfter(input, before));
  RunResult check = runSkarvel({"check", "in.vmdk"}, dir.path());
  EXPECT_EQ(check.out, "0 problems found\n");
  EXPECT_EQ(runProgram("qemu-img", {"check", "in.vmdk"}, dir.path()).status, 0);
}

TEST(CompactTest, CompactedImagesReadAsBeforeInShorterFiles) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  for (const Input& input : kInputs) {
    SCOPED_TRACE(input.what);
    ScopedTempDir dir;
    input.make(dir);
    run("skarvel", {"copy", "in.vmdk", "ref.vmdk"}, dir);
    const auto before = lengths(dir);
    RunResult compact = runSkarvel({"compact", "in.vmdk"}, dir.path());
    EXPECT_EQ(compact.status, 0) << compact.err;
    EXPECT_TRUE(compact.out.starts_with("Compacting ")) << compact.out;
    expectCompacted(input, dir, before);
    // A second run finds nothing left to do.
    compact = runSkarvel({"compact", "-j", "in.vmdk"}, dir.path());
    EXPECT_NE(compact.out.find("{\"grains_removed\":0,\"grains_moved\":0,"), std::string::npos)
        << compact.out;
  }
#ifndef _WIN32
  // The flat file's 3 MiB of zeros from 1M on is a hole now. (Wine's file
  // system takes no holes: there the zeros stay as they were.)
  ScopedTempDir dir;
  kInputs[4].make(dir);
  run("skarvel", {"compact", "in.vmdk"}, dir);
  int fd = platform::openFile(dir.file("in-flat.vmdk"), platform::kOpenReadOnly);
  uint64_t begin = 0, end = 0;
  EXPECT_TRUE(platform::findData(fd, 1 << 20, &begin, &end));
  EXPECT_EQ(begin, 6u << 20);
  platform::closeFile(fd);
#endif
}

TEST(CompactTest, RefusalsChangeNothing) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  const struct {
    std::vector<std::string> create;
    const char* err;
  } cases[] = {
      {{"-f", "vmdk", "-o", "subformat=streamOptimized", "in.vmdk", "8M"},
       "Cannot compact stream-optimized image in.vmdk\n"},
      {{"-f", "raw", "in.vmdk", "8M"}, "Unsupported image file in.vmdk\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    ScopedTempDir dir;
    std::vector<std::string> args = {"create"};
    args.insert(args.end(), c.create.begin(), c.create.end());
    run("qemu-img", args, dir);
    auto before = snapshot(dir.path());
    RunResult compact = runSkarvel({"compact", "in.vmdk"}, dir.path());
    EXPECT_EQ(compact.status, 1);
    EXPECT_EQ(compact.err, c.err);
    EXPECT_EQ(snapshot(dir.path()), before);
  }
}

// The problems check may find in an image a run left: none but leaks, the
// mark of a run that did not finish and, when the run stopped between the
// two copies of a table, copies that differ (each naming the same bytes).
void expectAtWorstLeaks(const ScopedTempDir& dir) {
  RunResult check = runSkarvel({"check", "in.vmdk"}, dir.path());
  std::istringstream lines(check.out);
  for (std::string line; std::getline(lines, line);) {
    bool harmless = line.find("leak") != std::string::npos ||
                    line.find(" differ in ") != std::string::npos ||
                    line.find("not closed cleanly") != std::string::npos ||
                    line.find(" problem") != std::string::npos;
    EXPECT_TRUE(harmless) << line;
  }
  EXPECT_NE(check.status, 1) << check.err;
}

// The Nth write fails, for every N until compact succeeds: each time the
// image reads as before and holds at worst leaks; a rerun finishes.
TEST(CompactTest, AFailedWriteAtAnyStepLeavesTheImageAndARerunFinishes) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
#ifdef _WIN32
  // Under Wine each run costs a process start of its own: the one-file row
  // stands for the others there.
  const std::vector<int> rows = {0};
#else
  const std::vector<int> rows = {0, 2, 3};
#endif
  for (int row : rows) {
    const Input& input = kInputs[row];
    SCOPED_TRACE(input.what);
    ScopedTempDir original;
    input.make(original);
    run("skarvel", {"copy", "in.vmdk", "ref.vmdk"}, original);
    const auto before = lengths(original);
    for (uint64_t writes = 0;; ++writes) {
      SCOPED_TRACE(writes);
      ScopedTempDir dir;
      for (const auto& entry : fs::directory_iterator(original.path())) {
        fs::copy(entry.path(), dir.file(entry.path().filename().string()));
      }
      int status = runFailingWritesAfter(writes, {"compact", dir.file("in.vmdk")});
      expectReadsAsBefore(dir);
      expectAtWorstLeaks(dir);
      if (status == 0) {
        expectCompacted(input, dir, before);
        break;
      }
      ASSERT_EQ(status, 1);
      ASSERT_LT(writes, 1000u);
      RunResult rerun = runSkarvel({"compact", "in.vmdk"}, dir.path());
      EXPECT_EQ(rerun.err, "");
      expectCompacted(input, dir, before);
    }
  }
}

#ifndef _WIN32
// Killed at moments spread over a run (SIGKILL, no chance to tidy up), a
// compact of 128 MiB of data with every third grain zeros leaves an image
// that reads as before and checks with at worst harmless findings; a rerun
// finishes and leaves it clean.
TEST(CompactTest, AKilledRunLeavesTheImageAndARerunFinishes) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  ScopedTempDir original;
  run("qemu-img", {"create", "-f", "vmdk", "in.vmdk", "128M"}, original);
  std::vector<std::string> writes;
  for (int g = 0; g < 2048; ++g) {
    writes.push_back("-P " + std::to_string(g % 3 == 0 ? 0 : 1 + g % 250) + " " +
                     std::to_string(g * kGrain) + " 64k");
  }
  write(original, "in.vmdk", writes);
  run("skarvel", {"copy", "in.vmdk", "ref.vmdk"}, original);
  for (const char* delay : {"0.05", "0.15", "0.3", "0.5", "0.8"}) {
    SCOPED_TRACE(delay);
    ScopedTempDir dir;
    for (const char* file : {"in.vmdk", "ref.vmdk"}) {
      fs::copy(original.file(file), dir.file(file));
    }
    // --foreground: the signal goes to skarvel alone, and timeout waits
    // until it is gone (sent to the whole group, it would end timeout first).
    runProgram("timeout",
               {"--foreground", "-s", "KILL", delay, skarvelBinary(), "compact", "in.vmdk"},
               dir.path());
    expectReadsAsBefore(dir);
    expectAtWorstLeaks(dir);
    EXPECT_EQ(runSkarvel({"compact", "in.vmdk"}, dir.path()).status, 0);
    expectReadsAsBefore(dir);
    EXPECT_EQ(runSkarvel({"check", "in.vmdk"}, dir.path()).out, "0 problems found\n");
  }
}
#endif

}  // namespace
}  // namespace skarvel::test
