// The copy command run as a user runs it: folding a parent chain (all or some
// levels) into a new image, split and single-file outputs, the progress
// report byte for byte, and inputs that cannot be opened. Outputs are read
// back as raw bytes through their own headers and tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <sstream>

#include "image_builder.h"
#include "run_tool.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

constexpr uint32_t kRootCid = 0x1000AAAA;
constexpr uint32_t kMiddleCid = 0x2000BBBB;
constexpr uint32_t kChildCid = 0x3000CCCC;
constexpr int kZeroGrain = 0x00;  // an allocated grain whose data is all zeros

// Descriptor text of a chain member with its own hardware version and adapter.
std::string memberText(uint32_t cid, uint32_t parentCid, const std::string& hint,
                       const std::string& hw, const std::string& adapter) {
  std::string text =
      descriptorText(cid, parentCid, hint, "monolithicSparse", "RW 16384 SPARSE \"member.vmdk\"\n");
  text.replace(text.find("\"4\""), 3, "\"" + hw + "\"");
  return text.replace(text.find("\"ide\""), 5, "\"" + adapter + "\"");
}

// The text copy writes for an 8 MiB output; disk database lines (16384 /
// 16065 gives 1 cylinder) only for an output without a parent.
std::string expectedText(const std::string& cid, uint32_t parentCid, const std::string& hint,
                         bool split, const std::string& hw, const std::string& adapter) {
  std::string text = "# Disk DescriptorFile\nversion=1\nCID=" + cid +
                     "\nparentCID=" + hex8(parentCid) + "\ncreateType=\"" +
                     (split ? "twoGbMaxExtentSparse" : "monolithicSparse") + "\"\n";
  if (!hint.empty()) text += "parentFileNameHint=\"" + hint + "\"\n";
  text += split ? "\n# Extent description\nRW 16384 SPARSE \"out-s001.vmdk\"\n\n"
                : "\n# Extent description\nRW 16384 SPARSE \"out.vmdk\"\n\n\n";
  text += "# The Disk Data Base\n#DDB\n\n";
  if (!hint.empty()) return text;
  return text + "ddb.virtualHWVersion = \"" + hw +
         "\"\nddb.geometry.cylinders = \"1\"\nddb.geometry.heads = \"255\"\n"
         "ddb.geometry.sectors = \"63\"\nddb.adapterType = \"" +
         adapter + "\"\n";
}

std::string cidOf(const std::string& text) {
  size_t at = text.find("\nCID=");
  return at == std::string::npos ? std::string() : text.substr(at + 5, 8);
}

// Allocated grains of a sparse extent, looked up through the primary
// directory (header bytes 56-63), as grain index -> fill byte (-1 when the
// grain is not uniform). Also checks that the redundant directory (bytes
// 48-55) records the same sectors and that the grains follow the overhead in
// increasing index order, as the writer stores them.
std::map<uint64_t, int> grainFills(const Bytes& file) {
  std::map<uint64_t, int> fills;
  uint64_t grains = le64At(file, 12) / 128, gd = le64At(file, 56), rgd = le64At(file, 48);
  uint64_t nextSector = le64At(file, 64);
  for (uint64_t g = 0; g < grains; ++g) {
    uint64_t table = le32At(file, gd * 512 + 4 * (g / 512));
    uint64_t redundant = le32At(file, rgd * 512 + 4 * (g / 512));
    uint32_t sector = le32At(file, table * 512 + 4 * (g % 512));
    EXPECT_EQ(sector, le32At(file, redundant * 512 + 4 * (g % 512))) << "grain " << g;
    if (sector == 0) continue;
    EXPECT_EQ(sector, nextSector) << "grain " << g;
    nextSector += 128;
    if (sector * 512ull + 65536 > file.size()) {
      fills[g] = -2;
      continue;
    }
    auto begin = file.begin() + static_cast<std::ptrdiff_t>(sector * 512ull);
    bool uniform = std::all_of(begin, begin + 65536, [&](uint8_t b) { return b == *begin; });
    fills[g] = uniform ? *begin : -1;
  }
  EXPECT_EQ(file.size(), nextSector * 512);
  return fills;
}

std::string expectedProgress(uint64_t total) {
  std::string text = "Copying " + std::to_string(total) + " Grains ...\n";
  for (uint64_t i = 1; i <= total; ++i) {
    text += std::to_string(i) + "/" + std::to_string(total) + ", " +
            std::to_string(i * 100 / total) + "%\r";
  }
  return text + "\n";
}

ExtentFixture extent(uint64_t capacity, const std::string& descriptor,
                     const std::map<uint64_t, int>& fills) {
  ExtentFixture image;
  image.capacity = capacity;
  image.descriptor = descriptor;
  for (const auto& [index, fill] : fills) image.grains[index] = grainOf(static_cast<uint8_t>(fill));
  return image;
}

// Swaps the table entries of grains |a| and |b| in both directories' tables,
// so that the grain with the higher index is stored first in the file.
void swapGrains(const std::string& path, uint64_t a, uint64_t b) {
  Bytes file = readBytes(path);
  for (uint64_t directory : {le64At(file, 48), le64At(file, 56)}) {
    auto entryAt = [&](uint64_t g) {
      return le32At(file, directory * 512 + 4 * (g / 512)) * 512ull + 4 * (g % 512);
    };
    std::swap_ranges(file.begin() + static_cast<std::ptrdiff_t>(entryAt(a)),
                     file.begin() + static_cast<std::ptrdiff_t>(entryAt(a) + 4),
                     file.begin() + static_cast<std::ptrdiff_t>(entryAt(b)));
  }
  writeBytes(path, file);
}

// child.vmdk -> middle.vmdk -> root.vmdk in one directory, 8 MiB each.
class CopyChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeSparseExtentFile(dir_.file("root.vmdk"),
                          extent(16384, memberText(kRootCid, 0xFFFFFFFF, "", "7", "buslogic"),
                                 {{0, 0x11}, {1, 0x12}, {2, 0x13}, {127, 0x1F}}));
    writeSparseExtentFile(dir_.file("middle.vmdk"),
                          extent(16384, memberText(kMiddleCid, kRootCid, "root.vmdk", "6", "ide"),
                                 {{1, 0x21}, {3, 0x23}, {126, 0x2E}}));
    // Grain 4 is stored before grain 2; the output stores them in index order.
    writeSparseExtentFile(
        dir_.file("child.vmdk"),
        extent(16384, memberText(kChildCid, kMiddleCid, "middle.vmdk", "9", "lsilogic"),
               {{2, 0x34}, {3, 0x33}, {4, 0x32}, {6, kZeroGrain}}));
    swapGrains(dir_.file("child.vmdk"), 2, 4);
  }

  ScopedTempDir dir_;
};

struct LevelCase {
  std::vector<std::string> options;
  std::map<uint64_t, int> fills;
  uint32_t parentCid;  // 0xFFFFFFFF: the output names no parent
  std::string hint;
};

TEST_F(CopyChainTest, FoldsTheChosenLevelsNearestFirst) {
  const std::map<uint64_t, int> all = {{0, 0x11}, {1, 0x21}, {2, 0x32},   {3, 0x33},
                                       {4, 0x34}, {6, 0x00}, {126, 0x2E}, {127, 0x1F}};
  const LevelCase cases[] = {
      {{}, all, 0xFFFFFFFF, ""},
      {{"-c", "all"}, all, 0xFFFFFFFF, ""},
      {{"-c", "1"}, {{2, 0x32}, {3, 0x33}, {4, 0x34}, {6, 0x00}}, kMiddleCid, "middle.vmdk"},
      {{"-c", "2"},
       {{1, 0x21}, {2, 0x32}, {3, 0x33}, {4, 0x34}, {6, 0x00}, {126, 0x2E}},
       kRootCid,
       "root.vmdk"},
      {{"-c", "3"}, all, 0xFFFFFFFF, ""},
      {{"-c", "5"}, all, 0xFFFFFFFF, ""},
  };
  const Bytes rootHeader = [&] {
    Bytes root = readBytes(dir_.file("root.vmdk"));
    return Bytes(root.begin(), root.begin() + 512);
  }();
  for (const LevelCase& c : cases) {
    std::string label = c.options.empty() ? "default" : c.options[0] + " " + c.options[1];
    SCOPED_TRACE(label);
    std::vector<std::string> args = {"copy"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {"child.vmdk", "out.vmdk"});
    RunResult run = runSkarvel(args, dir_.path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, expectedProgress(129));

    Bytes out = readBytes(dir_.file("out.vmdk"));
    ASSERT_GE(out.size(), 128u * 512);
    // The root's geometry: same header as an 8 MiB image with embedded descriptor.
    EXPECT_TRUE(std::equal(rootHeader.begin(), rootHeader.end(), out.begin()));
    EXPECT_EQ(grainFills(out), c.fills);

    std::string text = embeddedText(out);
    std::string cid = cidOf(text);
    ASSERT_EQ(cid.size(), 8u) << text;
    uint32_t cidValue = static_cast<uint32_t>(std::stoul(cid, nullptr, 16));
    EXPECT_LE(cidValue, 0x7FFFu);  // a fresh CID, never one of the inputs'
    // Only an output without a parent carries disk database lines: the root's.
    EXPECT_EQ(text, expectedText(cid, c.parentCid, c.hint, false, "7", "buslogic"));
    ASSERT_TRUE(std::filesystem::remove(dir_.file("out.vmdk")));
  }
}

// A split image of two 8192-sector extents: grains 0 and 63 in the first,
// 64 and 74 (local 0 and 10) in the second.
void writeSplitInput(const ScopedTempDir& dir) {
  writeSparseExtentFile(dir.file("disk-s001.vmdk"), extent(8192, "", {{0, 0x41}, {63, 0x42}}));
  writeSparseExtentFile(dir.file("disk-s002.vmdk"), extent(8192, "", {{0, 0x43}, {10, 0x44}}));
  writeText(
      dir.file("disk.vmdk"),
      descriptorText(0x4000DDDD, 0xFFFFFFFF, "", "twoGbMaxExtentSparse",
                     "RW 8192 SPARSE \"disk-s001.vmdk\"\nRW 8192 SPARSE \"disk-s002.vmdk\"\n"));
}

struct KindCase {
  std::vector<std::string> options;
  bool splitInput;
  bool splitOutput;
};

TEST(CopyOutputKindTest, FollowsInputKindAndOptions) {
  const std::map<uint64_t, int> splitFills = {{0, 0x41}, {63, 0x42}, {64, 0x43}, {74, 0x44}};
  const std::map<uint64_t, int> monoFills = {{5, 0x55}, {100, 0x56}};
  const KindCase cases[] = {
      {{}, true, true},      {{"-m"}, true, false}, {{"-m", "-p"}, true, true},
      {{"-p"}, false, true}, {{}, false, false},    {{"-m"}, false, false},
  };
  for (const KindCase& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.splitInput ? "split" : "single") << " input, "
                                    << c.options.size() << " options");
    ScopedTempDir dir;
    if (c.splitInput) {
      writeSplitInput(dir);
    } else {
      writeSparseExtentFile(dir.file("disk.vmdk"),
                            extent(16384,
                                   descriptorText(0x4000DDDD, 0xFFFFFFFF, "", "monolithicSparse",
                                                  "RW 16384 SPARSE \"disk.vmdk\"\n"),
                                   monoFills));
    }
    std::vector<std::string> args = {"copy"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {"disk.vmdk", "out.vmdk"});
    RunResult run = runSkarvel(args, dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, expectedProgress(129));

    // A split output is one extent of 16384 sectors named with -s001,
    // without a descriptor area, plus the descriptor file.
    EXPECT_EQ(fileExists(dir.file("out-s001.vmdk")), c.splitOutput);
    EXPECT_FALSE(fileExists(dir.file("out-s002.vmdk")));
    Bytes data = readBytes(dir.file(c.splitOutput ? "out-s001.vmdk" : "out.vmdk"));
    ASSERT_GE(data.size(), 512u);
    EXPECT_EQ(le64At(data, 12), 16384u);
    EXPECT_EQ(le64At(data, 36), c.splitOutput ? 0u : 20u);  // descriptorSize
    EXPECT_EQ(le64At(data, 56), c.splitOutput ? 6u : 26u);  // gdOffset
    EXPECT_EQ(grainFills(data), c.splitInput ? splitFills : monoFills);
    std::string text = c.splitOutput ? readText(dir.file("out.vmdk")) : embeddedText(data);
    std::string cid = cidOf(text);
    EXPECT_NE(cid, "4000dddd");
    EXPECT_EQ(text, expectedText(cid, 0xFFFFFFFF, "", c.splitOutput, "4", "ide"));
  }
}

TEST(CopyTest, AllEmptyInputGivesOnlyMetadata) {
  ScopedTempDir dir;
  // 1 GiB: 16384 grains, 32 tables, overhead 384 sectors, 16387 progress rounds.
  writeSparseExtentFile(dir.file("empty.vmdk"),
                        extent(2097152,
                               descriptorText(0x12345678, 0xFFFFFFFF, "", "monolithicSparse",
                                              "RW 2097152 SPARSE \"empty.vmdk\"\n"),
                               {}));
  RunResult run = runSkarvel({"copy", "empty.vmdk", "out.vmdk"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, expectedProgress(16387));
  EXPECT_EQ(run.out.substr(0, 37), "Copying 16387 Grains ...\n1/16387, 0%\r");
  Bytes out = readBytes(dir.file("out.vmdk"));
  EXPECT_EQ(out.size(), 384u * 512);
  EXPECT_EQ(le64At(out, 64), 384u);
  EXPECT_TRUE(grainFills(out).empty());
}

TEST(CopyTest, ProgressBytesOfASmallImage) {
  ScopedTempDir dir;
  ASSERT_EQ(runSkarvel({"create", "-s", "8M", "disk.vmdk"}, dir.path()).status, 0);
  RunResult run = runSkarvel({"copy", "disk.vmdk", "out.vmdk"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, expectedProgress(129));
  // Spot checks of the same text, written out by hand.
  EXPECT_EQ(run.out.substr(0, 33), "Copying 129 Grains ...\n1/129, 0%\r");
  EXPECT_NE(run.out.find("\r2/129, 1%\r"), std::string::npos);
  EXPECT_NE(run.out.find("\r100/129, 77%\r"), std::string::npos);
  EXPECT_EQ(run.out.substr(run.out.size() - 16), "\r129/129, 100%\r\n");
  EXPECT_EQ(run.err, "");
  // Copied from an empty image: 128 sectors of metadata and nothing else.
  EXPECT_EQ(fileSize(dir.file("out.vmdk")), 65536u);
}

// Copies through pipes: a reader that goes away ends the progress report,
// not the copy; a disk sent to standard output goes out in order, also to a
// slow reader, its progress on standard error; a reader that leaves early
// ends the run with one line; kinds that need files are refused. Standard
// input is read once in order, also from a slow writer; a stream cut short
// is refused.
TEST(CopyTest, PipelinesEndAsTheyShould) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  ScopedTempDir dir;
  writeSparseExtentFile(dir.file("in.vmdk"),
                        extent(2097152,
                               descriptorText(0x12345678, 0xFFFFFFFF, "", "monolithicSparse",
                                              "RW 2097152 SPARSE \"in.vmdk\"\n"),
                               {{0, 1}, {16383, 2}}));
  ASSERT_EQ(
      runProgram("qemu-img",
                 {"convert", "-O", "vmdk", "-o", "subformat=streamOptimized", "in.vmdk", "qs.vmdk"},
                 dir.path())
          .status,
      0);
  const std::string progress = expectedProgress(16387);
  const std::string head(1000, '\x01');  // the first bytes of grain 0
  const std::string writeFailed = "Failed to write file -\n";
  struct Row {
    std::string command;  // skarvel's arguments, between spaces
    PipeEnds ends;
    int status;
    std::string output;    // a file the run made that reads as in.vmdk
    std::string err = {};  // standard error, or its end after the progress lines
    std::string out = {};  // the same for standard output
  } rows[] = {
      // 16387 progress texts, far more than a pipe holds once the reader has gone.
      {"copy in.vmdk out.vmdk", {.outputBytes = 24}, 0, "out.vmdk", "", "Copying 16387 Grains ..."},
      {"copy -t streamOptimized in.vmdk -", {.output = "s.vmdk"}, 0, "s.vmdk", progress},
      {"copy -t raw in.vmdk -", {.output = "r.raw", .outputDelayMs = 1000}, 0, "r.raw", progress},
      {"copy -t raw in.vmdk -", {.outputBytes = 1000}, 1, "", writeFailed, head},
      {"copy -t twoGbMaxExtentFlat in.vmdk -",
       {},
       1,
       "",
       "Cannot write twoGbMaxExtentFlat to standard output\n"},
      // From standard input: a raw disk, its size learnt at its end, to each
      // kind that records its size last; a stream, read in order.
      {"copy -f raw - p.vmdk", {.input = "r.raw"}, 0, "p.vmdk"},
      {"copy -f raw -t streamOptimized - ps.vmdk",
       {.input = "r.raw", .inputDelayMs = 1000},
       0,
       "ps.vmdk"},
      {"copy -f raw -t raw - -", {.input = "r.raw", .output = "pr.raw"}, 0, "pr.raw"},
      {"copy -f raw -t raw - -", {.input = "r.raw", .outputBytes = 1000}, 1, "", writeFailed, head},
      {"copy -f raw -p - split.vmdk",
       {.input = "r.raw"},
       1,
       "",
       "Cannot write twoGbMaxExtentSparse from standard input\n"},
      {"copy - q.vmdk", {.input = "s.vmdk"}, 0, "q.vmdk", "", progress},
      {"copy - fromq.vmdk", {.input = "qs.vmdk"}, 0, "fromq.vmdk", "", progress},
      {"copy - cut.vmdk",
       {.input = "s.vmdk", .inputBytes = 66000},
       1,
       "",
       "Truncated image file -\n"},
  };
  // |text| is as much of the progress report as the run got to (whole
  // lines), then |end|.
  auto reportThen = [&progress](const std::string& text, const std::string& end) {
    std::string report = text.substr(0, text.size() - std::min(text.size(), end.size()));
    return text.ends_with(end) &&
           (report.empty() ||
            (progress.starts_with(report) && report.find_last_of("\r\n") == report.size() - 1));
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.command);
    std::istringstream words(row.command);
    std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
    RunResult run = runSkarvelPiped(row.ends, args, dir.path());
    EXPECT_EQ(run.status, row.status);
    EXPECT_TRUE(reportThen(run.out, row.out)) << run.out.substr(0, 100);
    EXPECT_TRUE(reportThen(run.err, row.err)) << run.err.substr(0, 100);
    if (row.output.empty()) continue;
    RunResult compare = runProgram(
        "qemu-img",
        {"compare", "-F", row.output.ends_with(".raw") ? "raw" : "vmdk", "in.vmdk", row.output},
        dir.path());
    EXPECT_EQ(compare.status, 0) << compare.out << compare.err;
    if (row.output.ends_with(".vmdk")) {
      EXPECT_EQ(runProgram("qemu-img", {"check", row.output}, dir.path()).status, 0);
    }
  }
}

// Raw and VHD outputs take grains from file to file inside the system where
// it can: a write that fails there or after it ends the copy with status 1,
// and a copy that ends well holds every grain, from an image or a raw disk.
TEST_F(CopyChainTest, EveryFailedWriteOfARawOrVhdCopyIsReported) {
  const std::map<uint64_t, int> fills = {{0, 0x11}, {1, 0x12}, {2, 0x13}, {127, 0x1F}};
  ASSERT_EQ(runSkarvel({"copy", "-t", "raw", "root.vmdk", "root.raw"}, dir_.path()).status, 0);
  for (std::string input : {"root.vmdk", "root.raw"}) {
    for (std::string kind : {"raw", "vhd"}) {
      SCOPED_TRACE(input + " to " + kind);
      std::vector<std::string> args = {"copy", "-t", kind, dir_.file(input), dir_.file("out")};
      if (input.ends_with(".raw")) args.insert(args.begin() + 1, {"-f", "raw"});
      int status = 1;
      uint64_t writes = 0;
      for (; status != 0 && writes < 64; ++writes) {
        std::filesystem::remove(dir_.file("out"));
        status = runFailingWritesAfter(writes, args);
        EXPECT_TRUE(status == 0 || status == 1) << status;
      }
      EXPECT_GT(writes, 1u);
      Bytes out = readBytes(dir_.file("out"));
      ASSERT_GE(out.size(), 128u * 65536);
      for (uint64_t g = 0; g < 128; ++g) {
        int fill = fills.contains(g) ? fills.at(g) : 0;
        EXPECT_EQ(std::count(out.begin() + g * 65536, out.begin() + (g + 1) * 65536, fill), 65536)
            << "grain " << g;
      }
    }
  }
}

TEST_F(CopyChainTest, MissingInputOrParentCreatesNothing) {
  std::filesystem::remove(dir_.file("root.vmdk"));
  for (const char* input : {"nothere.vmdk", "child.vmdk"}) {
    // The whole chain is opened first, also when -c 1 reads only the child.
    RunResult run = runSkarvel({"copy", "-c", "1", input, "out.vmdk"}, dir_.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, std::string("Failed to open ") +
                           (input[0] == 'n' ? "nothere.vmdk" : "root.vmdk") + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(fileExists(dir_.file("out.vmdk")));
  }
}

// The parent the output keeps is named by the child's hint, which is relative
// to the child's directory; an output elsewhere records a hint that finds it.
TEST_F(CopyChainTest, KeptParentIsReachableFromTheOutputsDirectory) {
  std::filesystem::create_directory(dir_.file("out"));
  RunResult run = runSkarvel({"copy", "-c", "1", "child.vmdk", "out/partial.vmdk"}, dir_.path());
  ASSERT_EQ(run.status, 0) << run.err;
  std::string text = embeddedText(readBytes(dir_.file("out/partial.vmdk")));
  EXPECT_NE(text.find("parentFileNameHint=\"../middle.vmdk\"\n"), std::string::npos) << text;

  RunResult info = runSkarvel({"info", "out/partial.vmdk"}, dir_.path());
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("Chained VMDKs:\n000 out/partial.vmdk\n001 ../middle.vmdk\n"
                          "002 root.vmdk\n\n"),
            std::string::npos)
      << info.out;
}

// A root without a descriptor area (a bare extent): a single-file copy that
// keeps the root as parent still gets an area to record it in.
TEST(CopyTest, KeptBareRootIsRecorded) {
  ScopedTempDir dir;
  writeSparseExtentFile(dir.file("base.vmdk"), extent(16384, "", {{0, 0x11}}));
  writeSparseExtentFile(
      dir.file("child.vmdk"),
      extent(16384, memberText(kChildCid, 0x00000777, "base.vmdk", "4", "ide"), {{1, 0x22}}));
  RunResult run = runSkarvel({"copy", "-c", "1", "child.vmdk", "out.vmdk"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  Bytes out = readBytes(dir.file("out.vmdk"));
  EXPECT_EQ(le64At(out, 28), 1u);   // descriptorOffset
  EXPECT_EQ(le64At(out, 36), 20u);  // descriptorSize
  std::string text = embeddedText(out);
  EXPECT_NE(text.find("\nparentCID=00000777\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nparentFileNameHint=\"base.vmdk\"\n"), std::string::npos) << text;
  EXPECT_EQ(grainFills(out), (std::map<uint64_t, int>{{1, 0x22}}));
}

}  // namespace
}  // namespace skarvel::test
