// The clone command: the child it writes byte for byte, the output kinds,
// children of children and of bare extents, and the parent hint it records,
// which must lead info and copy back to the parent from wherever the child
// lives. Also the hint rule itself, in-process.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>

#include "base/paths.h"
#include "image_builder.h"
#include "run_tool.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

namespace fs = std::filesystem;

std::string valueOf(const std::string& text, const std::string& key) {
  size_t at = text.find("\n" + key + "=");
  if (at == std::string::npos) return std::string();
  at += key.size() + 2;
  std::string value = text.substr(at, text.find('\n', at) - at);
  if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
  return value;
}

// The text a child without disk database entries gets.
std::string childText(const std::string& cid, uint32_t parentCid, const std::string& hint,
                      const std::string& createType, const std::string& extentSection) {
  return "# Disk DescriptorFile\nversion=1\nCID=" + cid + "\nparentCID=" + hex8(parentCid) +
         "\ncreateType=\"" + createType + "\"\nparentFileNameHint=\"" + hint +
         "\"\n\n# Extent description\n" + extentSection + "# The Disk Data Base\n#DDB\n\n";
}

ExtentFixture extent(uint64_t capacity, const std::string& descriptor,
                     const std::map<uint64_t, uint8_t>& fills) {
  ExtentFixture image;
  image.capacity = capacity;
  image.descriptor = descriptor;
  for (const auto& [index, fill] : fills) image.grains[index] = grainOf(fill);
  return image;
}

constexpr uint32_t kBaseCid = 0x00ABCDEF;

// An 8 MiB root with two grains, hardware version 7 and adapter buslogic.
void writeBase(const std::string& path, const std::string& fileName) {
  std::string text = descriptorText(kBaseCid, 0xFFFFFFFF, "", "monolithicSparse",
                                    "RW 16384 SPARSE \"" + fileName + "\"\n");
  text.replace(text.find("\"4\""), 3, "\"7\"");
  text.replace(text.find("\"ide\""), 5, "\"buslogic\"");
  writeSparseExtentFile(path, extent(16384, text, {{0, 0x11}, {5, 0x15}}));
}

// Split image disk.vmdk: two extents of 8192 sectors, grains 0 and 63 in the first.
void writeSplitBase(const ScopedTempDir& dir) {
  writeSparseExtentFile(dir.file("disk-s001.vmdk"), extent(8192, "", {{0, 0x41}, {63, 0x42}}));
  writeSparseExtentFile(dir.file("disk-s002.vmdk"), extent(8192, "", {{10, 0x44}}));
  writeText(
      dir.file("disk.vmdk"),
      descriptorText(0x4000DDDD, 0xFFFFFFFF, "", "twoGbMaxExtentSparse",
                     "RW 8192 SPARSE \"disk-s001.vmdk\"\nRW 8192 SPARSE \"disk-s002.vmdk\"\n"));
}

// Allocated grains of a single-file image as index -> first byte.
std::map<uint64_t, uint8_t> grainFills(const Bytes& file) {
  std::map<uint64_t, uint8_t> fills;
  uint64_t grains = le64At(file, 12) / 128, gd = le64At(file, 56);
  for (uint64_t g = 0; g < grains; ++g) {
    uint64_t table = le32At(file, gd * 512 + 4 * (g / 512));
    uint64_t sector = le32At(file, table * 512 + 4 * (g % 512));
    if (sector != 0 && sector * 512 < file.size()) fills[g] = file[sector * 512];
  }
  return fills;
}

std::string chainReport(const std::vector<std::string>& members) {
  std::string text = "Chained VMDKs:\n";
  for (size_t i = 0; i < members.size(); ++i) {
    char number[32];
    std::snprintf(number, sizeof number, "%03zu ", i);
    text += number + members[i] + "\n";
  }
  return text + "\n";
}

TEST(CloneTest, ChildOfAMonolithicImageIsExact) {
  ScopedTempDir dir;
  writeBase(dir.file("base.vmdk"), "base.vmdk");
  Bytes baseBefore = readBytes(dir.file("base.vmdk"));
  RunResult run = runSkarvel({"clone", "base.vmdk", "child.vmdk"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(readBytes(dir.file("base.vmdk")), baseBefore);

  Bytes child = readBytes(dir.file("child.vmdk"));
  std::string cid = valueOf(embeddedText(child), "CID");
  ASSERT_EQ(cid.size(), 8u);
  EXPECT_LE(std::stoul(cid, nullptr, 16), 0x7FFFu);
  // The whole file: the parent's capacity and overhead, all tables zero, and a
  // descriptor naming the parent without "ddb." keys.
  std::string text = childText(cid, kBaseCid, "base.vmdk", "monolithicSparse",
                               "RW 16384 SPARSE \"child.vmdk\"\n\n\n");
  writeSparseExtentFile(dir.file("expected.vmdk"), extent(16384, text, {}));
  EXPECT_EQ(child.size(), 65536u);
  EXPECT_EQ(embeddedText(child), text);
  EXPECT_TRUE(child == readBytes(dir.file("expected.vmdk")));
}

TEST(CloneTest, ChildOfAChildNamesTheChild) {
  ScopedTempDir dir;
  writeBase(dir.file("base.vmdk"), "base.vmdk");
  ASSERT_EQ(runSkarvel({"clone", "base.vmdk", "child.vmdk"}, dir.path()).status, 0);
  ASSERT_EQ(runSkarvel({"clone", "child.vmdk", "grand.vmdk"}, dir.path()).status, 0);
  std::string childText = embeddedText(readBytes(dir.file("child.vmdk")));
  std::string grandText = embeddedText(readBytes(dir.file("grand.vmdk")));
  EXPECT_EQ(valueOf(grandText, "parentCID"), valueOf(childText, "CID"));
  EXPECT_EQ(valueOf(grandText, "parentFileNameHint"), "child.vmdk");
  EXPECT_EQ(grandText.find("ddb."), std::string::npos);

  RunResult info = runSkarvel({"info", "grand.vmdk"}, dir.path());
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("HardwareVersion: 7\nAdapterType    : buslogic\n"), std::string::npos);
  EXPECT_NE(info.out.find(chainReport({"grand.vmdk", "child.vmdk", "base.vmdk"})),
            std::string::npos)
      << info.out;
  RunResult copy = runSkarvel({"copy", "grand.vmdk", "flat.vmdk"}, dir.path());
  ASSERT_EQ(copy.status, 0) << copy.err;
  EXPECT_EQ(grainFills(readBytes(dir.file("flat.vmdk"))),
            (std::map<uint64_t, uint8_t>{{0, 0x11}, {5, 0x15}}));
}

struct KindCase {
  bool splitInput;
  std::vector<std::string> options;
  bool splitChild;
};

TEST(CloneTest, ChildKindFollowsInputAndOptions) {
  const KindCase cases[] = {
      {true, {}, true},
      {true, {"-m"}, false},
      {true, {"-m", "-p"}, true},
      {false, {"-p"}, true},
  };
  for (const KindCase& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.splitInput ? "split" : "single") << " input, "
                                    << c.options.size() << " options");
    ScopedTempDir dir;
    uint32_t parentCid = c.splitInput ? 0x4000DDDD : kBaseCid;
    std::map<uint64_t, uint8_t> parentFills = {{0, 0x11}, {5, 0x15}};
    if (c.splitInput) {
      writeSplitBase(dir);
      parentFills = {{0, 0x41}, {63, 0x42}, {74, 0x44}};
    } else {
      writeBase(dir.file("disk.vmdk"), "disk.vmdk");
    }
    std::vector<std::string> args = {"clone"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {"disk.vmdk", "child.vmdk"});
    RunResult run = runSkarvel(args, dir.path());
    ASSERT_EQ(run.status, 0) << run.err;

    // A split child: one extent without descriptor area plus the descriptor file.
    EXPECT_EQ(fileExists(dir.file("child-s001.vmdk")), c.splitChild);
    EXPECT_FALSE(fileExists(dir.file("child-s002.vmdk")));
    Bytes data = readBytes(dir.file(c.splitChild ? "child-s001.vmdk" : "child.vmdk"));
    ASSERT_EQ(data.size(), 65536u);
    EXPECT_EQ(le64At(data, 12), 16384u);
    EXPECT_EQ(le64At(data, 28), c.splitChild ? 0u : 1u);
    EXPECT_TRUE(grainFills(data).empty());
    std::string text = c.splitChild ? readText(dir.file("child.vmdk")) : embeddedText(data);
    EXPECT_EQ(text,
              c.splitChild
                  ? childText(valueOf(text, "CID"), parentCid, "disk.vmdk", "twoGbMaxExtentSparse",
                              "RW 16384 SPARSE \"child-s001.vmdk\"\n\n")
                  : childText(valueOf(text, "CID"), parentCid, "disk.vmdk", "monolithicSparse",
                              "RW 16384 SPARSE \"child.vmdk\"\n\n\n"));
    // The chain opens again and reads as the parent.
    RunResult info = runSkarvel({"info", "child.vmdk"}, dir.path());
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find(chainReport({"child.vmdk", "disk.vmdk"})), std::string::npos);
    ASSERT_EQ(runSkarvel({"copy", "-m", "child.vmdk", "flat.vmdk"}, dir.path()).status, 0);
    EXPECT_EQ(grainFills(readBytes(dir.file("flat.vmdk"))), parentFills);
  }
}

TEST(CloneTest, BareExtentGetsADescriptorAreaThatRecordsItsParent) {
  ScopedTempDir dir;
  writeSplitBase(dir);
  RunResult run = runSkarvel({"clone", "disk-s001.vmdk", "child.vmdk"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  Bytes child = readBytes(dir.file("child.vmdk"));
  ASSERT_EQ(child.size(), 65536u);  // 1 + 20 + 2 * (1 + 4) sectors, rounded to 128
  EXPECT_EQ(le64At(child, 12), 8192u);
  EXPECT_EQ(le64At(child, 28), 1u);
  EXPECT_EQ(le64At(child, 36), 20u);
  EXPECT_EQ(le64At(child, 48), 21u);
  EXPECT_EQ(le64At(child, 56), 26u);
  std::string text = embeddedText(child);
  EXPECT_EQ(valueOf(text, "parentFileNameHint"), "disk-s001.vmdk");
  EXPECT_NE(valueOf(text, "parentCID"), "ffffffff");
  EXPECT_NE(text.find("\nRW 8192 SPARSE \"child.vmdk\"\n"), std::string::npos) << text;

  RunResult info = runSkarvel({"info", "child.vmdk"}, dir.path());
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find(chainReport({"child.vmdk", "disk-s001.vmdk"})), std::string::npos);
  ASSERT_EQ(runSkarvel({"copy", "child.vmdk", "flat.vmdk"}, dir.path()).status, 0);
  EXPECT_EQ(grainFills(readBytes(dir.file("flat.vmdk"))),
            (std::map<uint64_t, uint8_t>{{0, 0x41}, {63, 0x42}}));
}

TEST(CloneTest, ChainAcrossDirectoriesOpensFromAnywhere) {
  ScopedTempDir dir;
  for (const char* sub : {"images", "out", "deeper"}) fs::create_directory(dir.file(sub));
  writeBase(dir.file("images/base.vmdk"), "base.vmdk");
  ASSERT_EQ(runSkarvel({"clone", "images/base.vmdk", "out/child.vmdk"}, dir.path()).status, 0);
  ASSERT_EQ(runSkarvel({"clone", "out/child.vmdk", "deeper/grand.vmdk"}, dir.path()).status, 0);
  EXPECT_EQ(valueOf(embeddedText(readBytes(dir.file("deeper/grand.vmdk"))), "parentFileNameHint"),
            "../out/child.vmdk");

  RunResult info = runSkarvel({"info", "deeper/grand.vmdk"}, dir.path());
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(
      info.out.find(chainReport({"deeper/grand.vmdk", "../out/child.vmdk", "../images/base.vmdk"})),
      std::string::npos)
      << info.out;
  // From another working directory, by absolute path and by a relative one.
  std::string absolute = fs::absolute(dir.file("deeper/grand.vmdk")).string();
  EXPECT_EQ(runSkarvel({"info", absolute}, dir.file("images")).status, 0);
  RunResult copy = runSkarvel({"copy", "../deeper/grand.vmdk", "flat.vmdk"}, dir.file("out"));
  ASSERT_EQ(copy.status, 0) << copy.err;
  EXPECT_EQ(grainFills(readBytes(dir.file("out/flat.vmdk"))),
            (std::map<uint64_t, uint8_t>{{0, 0x11}, {5, 0x15}}));
}

TEST(CloneTest, RecordedHintLeadsBackToTheInput) {
  // Runs in w/, beside s/ and t/. {here} stands for w's absolute path.
  struct Case {
    std::string input, output, hint;
  };
  const Case cases[] = {
      {"base.vmdk", "child.vmdk", "base.vmdk"},
      {"images/base.vmdk", "images/child.vmdk", "base.vmdk"},
      {"base.vmdk", "out/child.vmdk", "../base.vmdk"},
      {"a/base.vmdk", "b/child.vmdk", "../a/base.vmdk"},
      {"./a/base.vmdk", "a/b/child.vmdk", "../base.vmdk"},
      {"../s/base.vmdk", "../s/child.vmdk", "base.vmdk"},
      {"../s/base.vmdk", "../t/child.vmdk", "../s/base.vmdk"},
      {"{here}/a/base.vmdk", "b/child.vmdk", "{here}/a/base.vmdk"},
      {"base.vmdk", "{here}/out/child.vmdk", "{here}/base.vmdk"},
      {"base.vmdk", "../w/out/child.vmdk", "{here}/base.vmdk"},
  };
  for (const Case& c : cases) {
    ScopedTempDir dir;
    for (const char* sub : {"w", "w/images", "w/out", "w/a", "w/a/b", "w/b", "s", "t"}) {
      fs::create_directory(dir.file(sub));
    }
    const std::string here = fs::canonical(dir.file("w")).generic_string();
    auto expand = [&](std::string text) {
      if (size_t at = text.find("{here}"); at != std::string::npos) text.replace(at, 6, here);
      return text;
    };
    auto inW = [&](const std::string& path) {
      return isAbsolutePath(path) ? path : here + "/" + path;
    };
    std::string input = expand(c.input), output = expand(c.output), hint = expand(c.hint);
    SCOPED_TRACE(input + " -> " + output);
    writeBase(inW(input), "base.vmdk");
    RunResult run = runSkarvel({"clone", input, output}, here);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(valueOf(embeddedText(readBytes(inW(output))), "parentFileNameHint"), hint);
    RunResult info = runSkarvel({"info", output}, here);
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("\n001 " + hint + "\n"), std::string::npos) << info.out;
  }
}

}  // namespace
}  // namespace skarvel::test
