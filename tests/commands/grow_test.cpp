// grow as a user meets it: images of each kind, ours and the general tool's,
// grown in place read as before with zeros after (the general tool compares
// and checks them), refusals leave every file as it was, and a write that
// fails at any step leaves an image of the old size or of the new one.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>

#include "run_tool.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

namespace fs = std::filesystem;

void run(const std::string& program, const std::vector<std::string>& args,
         const ScopedTempDir& dir) {
  RunResult r =
      program == "skarvel" ? runSkarvel(args, dir.path()) : runProgram(program, args, dir.path());
  ASSERT_EQ(r.status, 0) << program << " " << ::testing::PrintToString(args) << ": " << r.err;
}

// in.vmdk, the image to grow, with data near its end; ref.vmdk, a copy of
// what it reads, made before.
struct Input {
  const char* what;
  std::function<void(const ScopedTempDir&)> make;
  const char* size;   // the grown size
  uint64_t bytes;     // its virtual size
  bool json = false;  // grow reports for programs (from 8 MiB)
};

const Input kInputs[] = {
    {"ours, tables where they are",
     [](auto& d) {
       run("skarvel", {"create", "-s", "8M", "in.vmdk"}, d);
     },
     "16M", 16 << 20},
    {"ours, directories moved to the end",
     [](auto& d) {
       run("skarvel", {"create", "-s", "8M", "in.vmdk"}, d);
     },
     "100G", uint64_t{100} << 30},
    {"the general tool's, version 2",
     [](auto& d) {
       run("qemu-img", {"create", "-f", "vmdk", "-o", "zeroed_grain=on", "in.vmdk", "8M"}, d);
     },
     "5G", uint64_t{5} << 30},
    {"split, new extents after the last",
     [](auto& d) {
       run("skarvel", {"create", "-p", "-s", "2100M", "in.vmdk"}, d);
     },
     "6000M", uint64_t{6000} << 20},
    {"split, with what an interrupted grow left, named by no line",
     [](auto& d) {
       run("skarvel", {"create", "-p", "-s", "2100M", "in.vmdk"}, d);
       writeText(d.file("in-s003.vmdk"), "left over");
     },
     "6000M", uint64_t{6000} << 20},
    {"the general tool's split",
     [](auto& d) {
       run("qemu-img",
           {"create", "-f", "vmdk", "-o", "subformat=twoGbMaxExtentSparse", "in.vmdk", "8M"}, d);
     },
     "4G", uint64_t{4} << 30, true},
    {"the general tool's monolithicFlat",
     [](auto& d) {
       run("qemu-img", {"create", "-f", "vmdk", "-o", "subformat=monolithicFlat", "in.vmdk", "8M"},
           d);
     },
     "3G", uint64_t{3} << 30},
    {"the general tool's twoGbMaxExtentFlat",
     [](auto& d) {
       run("qemu-img",
           {"create", "-f", "vmdk", "-o", "subformat=twoGbMaxExtentFlat", "in.vmdk", "8M"}, d);
     },
     "4100M", uint64_t{4100} << 20},
    {"a child over a larger parent",
     [](auto& d) {
       run("qemu-img", {"create", "-f", "vmdk", "base.vmdk", "100M"}, d);
       run("qemu-io", {"-c", "write -P 0x5A 60M 256k", "base.vmdk"}, d);
       run("qemu-img", {"create", "-f", "vmdk", "-b", "base.vmdk", "-F", "vmdk", "in.vmdk", "40M"},
           d);
     },
     "100M", 100 << 20},
};

void makeInput(const Input& input, const ScopedTempDir& dir) {
  input.make(dir);
  run("qemu-io", {"-c", "write -P 0x42 0 64k", "-c", "write -P 0x43 7M 1M", "in.vmdk"}, dir);
  run("skarvel", {"copy", "in.vmdk", "ref.vmdk"}, dir);
}

// The disk's size in bytes as qemu-img, vmdkinfo and skarvel read it.
std::vector<uint64_t> sizesRead(const ScopedTempDir& dir) {
  auto number = [](const std::string& text, const std::string& before) {
    size_t at = text.find(before);
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + before.size()));
  };
  std::string vmdkinfo = runProgram("vmdkinfo", {"in.vmdk"}, dir.path()).out;
  return {number(runProgram("qemu-img", {"info", "--output=json", "in.vmdk"}, dir.path()).out,
                 "\"virtual-size\": "),
          number(vmdkinfo.substr(vmdkinfo.find("Media size:")), "("),
          number(runSkarvel({"info", "in.vmdk"}, dir.path()).out, "Capacity       : ") * 512};
}

// |image| reads as ref.vmdk, with zeros past its end, and checks clean.
void expectReadsAsBefore(const ScopedTempDir& dir, const std::string& image = "in.vmdk") {
  RunResult check = runProgram("qemu-img", {"check", image}, dir.path());
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  RunResult compare = runProgram("qemu-img", {"compare", "ref.vmdk", image}, dir.path());
  // A warning that the sizes differ may come first.
  EXPECT_TRUE(compare.out.ends_with("Images are identical.\n")) << compare.out << compare.err;
}

TEST(GrowTest, GrownImagesReadAsBeforeWithZerosAfter) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  for (const Input& input : kInputs) {
    SCOPED_TRACE(input.what);
    ScopedTempDir dir;
    makeInput(input, dir);
    // A larger copy, keeping the child's parent, reads the same way.
    run("skarvel", {"copy", "-s", input.size, "-c", "1", "in.vmdk", "larger.vmdk"}, dir);
    expectReadsAsBefore(dir, "larger.vmdk");
    std::vector<std::string> args = {"grow", "-s", input.size, "in.vmdk"};
    if (input.json) args.insert(args.begin() + 1, "--json");
    RunResult grow = runSkarvel(args, dir.path());
    EXPECT_EQ(grow.status, 0) << grow.err;
    EXPECT_EQ(grow.err, "");
    if (input.json) {
      EXPECT_EQ(nlohmann::json::parse(grow.out),
                nlohmann::json({{"file", "in.vmdk"},
                                {"previous_capacity_sectors", 16384},
                                {"capacity_sectors", input.bytes / 512},
                                {"capacity_bytes", input.bytes}}));
    } else {
      EXPECT_EQ(grow.out, "");
    }
    expectReadsAsBefore(dir);
    RunResult info = runProgram("qemu-img", {"info", "in.vmdk"}, dir.path());
    EXPECT_NE(info.out.find(std::to_string(input.bytes) + " bytes)"), std::string::npos)
        << info.out;
    // The new part takes data where the general tool writes it.
    std::string write =
        std::string("write -P 0x77 ").append(std::to_string(input.bytes - (1 << 20)));
    run("qemu-io", {"-c", write.append(" 1M"), "in.vmdk"}, dir);
    EXPECT_EQ(runProgram("qemu-img", {"check", "in.vmdk"}, dir.path()).status, 0);
  }
}

TEST(GrowTest, RefusalsChangeNothing) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  const struct {
    std::vector<std::string> create;  // the general tool's arguments for in.vmdk
    const char* size;
    const char* err;
    const char* lengthened = nullptr;  // a file given one more sector of data first
    std::function<void(const ScopedTempDir&)> prepare = nullptr;
  } cases[] = {
      {{"in.vmdk", "8M"}, "8M", "Size is not larger than the disk in.vmdk\n"},
      {{"in.vmdk", "8M"}, "2048G", "Disk is too large for a single file in.vmdk\n"},
      {{"-o", "subformat=streamOptimized", "in.vmdk", "8M"},
       "16M",
       "Cannot grow stream-optimized image in.vmdk\n"},
      // The flat file holds more than its extent: that would come into view.
      {{"-o", "subformat=monolithicFlat", "in.vmdk", "8M"},
       "16M",
       "Unsupported image file in.vmdk\n",
       "in-flat.vmdk"},
      // The descriptor file cannot be replaced (every name for its new text
      // is taken): the flat file, grown first, is cut back.
      {{"-o", "subformat=monolithicFlat", "in.vmdk", "8M"},
       "3G",
       "Failed to re-write file in.vmdk\n",
       nullptr,
       [](auto& d) {
         for (int i = 0; i < 100; ++i)
           fs::create_directory(d.file(".in.vmdk.skarvel-" + std::to_string(i)));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    ScopedTempDir dir;
    std::vector<std::string> args = {"create", "-f", "vmdk"};
    args.insert(args.end(), c.create.begin(), c.create.end());
    run("qemu-img", args, dir);
    if (c.lengthened) {
      Bytes file = readBytes(dir.file(c.lengthened));
      file.resize(file.size() + 512, 0x5A);
      writeBytes(dir.file(c.lengthened), file);
    }
    if (c.prepare) c.prepare(dir);
    auto before = snapshot(dir.path());
    RunResult grow = runSkarvel({"grow", "-s", c.size, "in.vmdk"}, dir.path());
    EXPECT_EQ(grow.status, 1);
    EXPECT_EQ(grow.err, c.err);
    EXPECT_EQ(snapshot(dir.path()), before);
  }
}

// The unclean-shutdown marks `check` reports as |check| when they are all
// it finds, leaks aside (0 for nothing); -1 when it finds anything else.
int marksOnly(const RunResult& check) {
  std::istringstream in(check.out);
  int marks = 0;
  for (std::string line; std::getline(in, line);) {
    bool last = in.peek() == EOF;
    bool mark = line.ends_with(": the header says the file was not closed cleanly");
    marks += mark;
    if (!last && !mark && !line.ends_with(" leaked)")) return -1;
    if (last &&
        !line.starts_with(std::to_string(marks) + (marks == 1 ? " problem " : " problems ")))
      return -1;
  }
  return check.status == (marks == 0 ? 0 : 2) ? marks : -1;
}

// The Nth write fails, for every N until the grow succeeds: each time the
// image left behind reads as before, at the old size or the new one in every
// reader, and checks clean (leaks allowed) but for the unclean-shutdown mark,
// which a one-file sparse image carries from the first write on; a rerun
// finishes the grow and clears it.
TEST(GrowTest, AFailedWriteAtAnyStepLeavesAReadableImage) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  SKARVEL_REQUIRE_PEER("vmdkinfo");
  for (int row : {1, 3, 6, 7, 8}) {
    const Input* input = &kInputs[row];
    const bool oneSparseFile = row == 1 || row == 8;
    SCOPED_TRACE(input->what);
    ScopedTempDir original;
    makeInput(*input, original);
    const std::vector<uint64_t> before = sizesRead(original), after(3, input->bytes);
    for (uint64_t writes = 0;; ++writes) {
      SCOPED_TRACE(writes);
      ScopedTempDir dir;
      for (const auto& entry : fs::directory_iterator(original.path())) {
        fs::copy(entry.path(), dir.file(entry.path().filename().string()));
      }
      int status = runFailingWritesAfter(writes, {"grow", "-s", input->size, dir.file("in.vmdk")});
      expectReadsAsBefore(dir);
      std::vector<uint64_t> sizes = sizesRead(dir);
      EXPECT_TRUE(sizes == before || sizes == after) << ::testing::PrintToString(sizes);
      RunResult check = runSkarvel({"check", "in.vmdk"}, dir.path());
      EXPECT_EQ(marksOnly(check), oneSparseFile && status != 0 && writes != 0 ? 1 : 0)
          << check.out << check.err;
      if (status == 0) break;
      ASSERT_EQ(status, 1);
      ASSERT_LT(writes, 1000u);
      RunResult rerun = runSkarvel({"grow", "-s", input->size, "in.vmdk"}, dir.path());
      EXPECT_EQ(rerun.err, "");
      expectReadsAsBefore(dir);
      EXPECT_EQ(sizesRead(dir), after);
      EXPECT_EQ(marksOnly(runSkarvel({"check", "in.vmdk"}, dir.path())), 0);
    }
  }
}

}  // namespace
}  // namespace skarvel::test
