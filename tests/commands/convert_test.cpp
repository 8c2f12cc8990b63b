// The convert command: the descriptor it writes in place (embedded area or
// descriptor file), the setting words, its refusals, and that nothing outside
// the descriptor ever changes, also when it fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "image_builder.h"
#include "run_tool.h"
#include "skip_on_windows.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

namespace fs = std::filesystem;

// The text convert composes for an 8 MiB root (16384 / 16065 = 1 cylinder).
std::string rootText(const std::string& cid, const std::string& createType,
                     const std::string& extentSection, const std::string& hw,
                     const std::string& adapter) {
  return "# Disk DescriptorFile\nversion=1\nCID=" + cid + "\nparentCID=ffffffff\ncreateType=\"" +
         createType + "\"\n\n# Extent description\n" + extentSection +
         "# The Disk Data Base\n#DDB\n\nddb.virtualHWVersion = \"" + hw +
         "\"\nddb.geometry.cylinders = \"1\"\nddb.geometry.heads = \"255\"\n"
         "ddb.geometry.sectors = \"63\"\nddb.adapterType = \"" +
         adapter + "\"\n";
}

std::string singleExtent(const std::string& fileName) {
  return "RW 16384 SPARSE \"" + fileName + "\"\n\n\n";
}

// An 8 MiB root whose descriptor holds lines convert does not keep, and whose
// extent line names another file.
void writeRoot(const std::string& path) {
  ExtentFixture image;
  image.capacity = 16384;
  image.descriptor = descriptorText(0x00001234, 0xFFFFFFFF, "", "monolithicSparse",
                                    "RW 16384 SPARSE \"renamed.vmdk\"\n") +
                     "ddb.uuid.image = \"0123\"\n# a note of another tool\n";
  image.grains[3] = grainOf(0x33);
  writeSparseExtentFile(path, image);
}

// Split image |name| in |dir| of two 8192-sector extents, stem-s001.vmdk and
// stem-s002.vmdk.
void writeSplit(const std::string& dir, const std::string& name, const std::string& stem) {
  ExtentFixture image;
  image.capacity = 8192;
  image.grains[1] = grainOf(0x51);
  writeSparseExtentFile(dir + "/" + stem + "-s001.vmdk", image);
  writeSparseExtentFile(dir + "/" + stem + "-s002.vmdk", image);
  writeText(dir + "/" + name,
            descriptorText(0x4000DDDD, 0xFFFFFFFF, "", "twoGbMaxExtentSparse",
                           "RW 8192 SPARSE \"" + stem + "-s001.vmdk\"\nRW 8192 SPARSE \"" + stem +
                               "-s002.vmdk\"\n") +
                "# kept by nobody\n");
}

// Runs skarvel as a user without extra rights. Root opens any file for
// writing, so as root the run goes through setpriv as the user "nobody", in a
// directory that user may enter, with a copy of the tool placed where that
// user can reach it; skips when that is not possible. On Windows chmod sets
// the read-only attribute, which holds for every user.
#ifdef _WIN32
#define RUN_WITHOUT_PRIVILEGES(result, args, dir) result = runSkarvel(args, (dir).path())
#else
#define RUN_WITHOUT_PRIVILEGES(result, args, dir)                                                 \
  do {                                                                                            \
    if (geteuid() != 0) {                                                                         \
      result = runSkarvel(args, (dir).path());                                                    \
      break;                                                                                      \
    }                                                                                             \
    if (!havePeer("setpriv")) GTEST_SKIP() << "running as root without setpriv";                  \
    ASSERT_EQ(chmod((dir).path().c_str(), 0755), 0);                                              \
    ScopedTempDir tool;                                                                           \
    ASSERT_EQ(chmod(tool.path().c_str(), 0755), 0);                                               \
    std::vector<std::string> unprivileged = {"--reuid=65534", "--regid=65534", "--clear-groups"}; \
    for (const std::string& a : skarvelCopiedTo(tool.path())) unprivileged.push_back(a);          \
    for (const std::string& a : args) unprivileged.push_back(a);                                  \
    result = runProgram("setpriv", unprivileged, (dir).path());                                   \
  } while (0)
#endif

TEST(ConvertTest, ExampleRewritesOnlyTheDescriptorArea) {
  ScopedTempDir dir;
  ASSERT_EQ(runSkarvel({"create", "-s", "8M", "disk.vmdk"}, dir.path()).status, 0);
  Bytes before = readBytes(dir.file("disk.vmdk"));
  std::string oldText = embeddedText(before);
  RunResult run = runSkarvel({"convert", "disk.vmdk", "hwver=6", "adapter=buslogic"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");

  Bytes after = readBytes(dir.file("disk.vmdk"));
  ASSERT_EQ(after.size(), before.size());
  EXPECT_TRUE(std::equal(after.begin(), after.begin() + 512, before.begin()));
  EXPECT_TRUE(std::equal(after.begin() + 10752, after.end(), before.begin() + 10752));
  std::string text = embeddedText(after);
  EXPECT_NE(text.find("\nddb.virtualHWVersion = \"6\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nddb.adapterType = \"buslogic\"\n"), std::string::npos);
  EXPECT_NE(text.find("\nparentCID=ffffffff\n"), std::string::npos);
  EXPECT_NE(text.find("\ncreateType=\"monolithicSparse\"\n"), std::string::npos);
  size_t cidLine = oldText.find("\nCID=");
  ASSERT_NE(cidLine, std::string::npos);
  EXPECT_NE(text.find(oldText.substr(cidLine, 14)), std::string::npos);
  // The old text with the two values changed, then zeros to the end of sector 20.
  std::string expected = oldText;
  expected.replace(expected.find("HWVersion = \"4\""), 15, "HWVersion = \"6\"");
  expected.replace(expected.find("\"lsilogic\""), 10, "\"buslogic\"");
  EXPECT_EQ(text, expected);
  EXPECT_TRUE(std::all_of(after.begin() + 512 + text.size(), after.begin() + 10752,
                          [](uint8_t b) { return b == 0; }));
}

TEST(ConvertTest, SettingWords) {
  struct Case {
    std::vector<std::string> args;
    std::string hw, adapter;
  };
  const Case cases[] = {
      {{"foo"}, "4", "ide"},  // still rewritten, with the values it had
      {{"hwver=7", "adapter=buslogic"}, "7", "buslogic"},
      {{"hwver=4", "hwver=6"}, "6", "ide"},
      {{"adapter=lsilogic", "adapter=buslogic"}, "4", "buslogic"},
      {{"Hwver=6", "hwver6", "ADAPTER=x"}, "4", "ide"},
      {{"adapter=ide=x"}, "4", "ide=x"},
      {{"adapter="}, "4", ""},
      {{"hwver= +6"}, "6", "ide"},
      {{"hwver=-3"}, "4294967293", "ide"},  // written as unsigned decimal
      {{"adapter=my \xC3\xA9 bus"}, "4", "my \xC3\xA9 bus"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    ScopedTempDir dir;
    writeRoot(dir.file("disk.vmdk"));
    Bytes before = readBytes(dir.file("disk.vmdk"));
    std::vector<std::string> args = {"convert", "disk.vmdk"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult run = runSkarvel(args, dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    Bytes after = readBytes(dir.file("disk.vmdk"));
    ASSERT_EQ(after.size(), before.size());
    // The extent line names the file convert was given; other lines are gone.
    std::string expected =
        rootText("00001234", "monolithicSparse", singleExtent("disk.vmdk"), c.hw, c.adapter);
    EXPECT_EQ(embeddedText(after), expected);
    EXPECT_TRUE(std::all_of(after.begin() + 512 + expected.size(), after.begin() + 10752,
                            [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(after.begin() + 10752, after.end(), before.begin() + 10752));
  }
}

TEST(ConvertTest, OptionsHaveNoEffect) {
  ScopedTempDir dir;
  writeRoot(dir.file("disk.vmdk"));
  RunResult run =
      runSkarvel({"convert", "-r", "6", "-a", "buslogic", "disk.vmdk", "x"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(embeddedText(readBytes(dir.file("disk.vmdk"))),
            rootText("00001234", "monolithicSparse", singleExtent("disk.vmdk"), "4", "ide"));
}

// No setting word, a hardware version that is not one whole number, or an
// adapter type that would end its quotes or line: the usage text, before the
// image is even opened, and nothing written.
TEST(ConvertTest, SettingsItCannotWriteShowUsage) {
  const std::vector<std::string> cases[] = {
      {"disk.vmdk"},
      {"disk.vmdk", "hwver="},
      {"disk.vmdk", "hwver=x"},
      {"disk.vmdk", "hwver=12abc"},
      {"disk.vmdk", "hwver=6 "},
      {"disk.vmdk", "adapter=ide\"\nparentCID=1234abcd\nparentFileNameHint=\"gone.vmdk"},
      {"disk.vmdk", "hwver=6", "adapter=a\x7F"},
      {"disk.vmdk", "adapter=a\x01", "adapter=ide"},
      {"missing.vmdk", "hwver=6x"},
  };
  for (const std::vector<std::string>& words : cases) {
    SCOPED_TRACE(::testing::PrintToString(words));
    ScopedTempDir dir;
    writeRoot(dir.file("disk.vmdk"));
    auto before = snapshot(dir.path());
    std::vector<std::string> args = {"convert"};
    args.insert(args.end(), words.begin(), words.end());
    RunResult run = runSkarvel(args, dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out.rfind("Usage: skarvel <command> [options] [infile] [outfile]\n", 0), 0u);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(snapshot(dir.path()), before);
  }
}

TEST(ConvertTest, RefusesChildrenAndBareExtents) {
  struct Case {
    std::string target, message;
  };
  const Case cases[] = {
      {"child.vmdk",
       "This is not a root file in cloned chain, please convert the root file in cloned chain.\n"},
      {"split-s001.vmdk",
       "No description found in file, please convert the root file in cloned chain.\n"},
      {"nothere.vmdk", "Failed to open nothere.vmdk\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    ScopedTempDir dir;
    writeRoot(dir.file("disk.vmdk"));
    writeSplit(dir.path(), "split.vmdk", "split");
    ASSERT_EQ(runSkarvel({"clone", "disk.vmdk", "child.vmdk"}, dir.path()).status, 0);
    auto before = snapshot(dir.path());
    RunResult run = runSkarvel({"convert", c.target, "hwver=6"}, dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, c.message);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(snapshot(dir.path()), before);
  }
}

TEST(ConvertTest, ReadOnlyFileCannotBeOpened) {
  ScopedTempDir dir;
  writeRoot(dir.file("disk.vmdk"));
  ASSERT_EQ(chmod(dir.file("disk.vmdk").c_str(), 0444), 0);
  Bytes before = readBytes(dir.file("disk.vmdk"));
  RunResult run;
  RUN_WITHOUT_PRIVILEGES(run, std::vector<std::string>({"convert", "disk.vmdk", "hwver=6"}), dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Failed to open disk.vmdk\n");
  EXPECT_EQ(readBytes(dir.file("disk.vmdk")), before);
}

TEST(ConvertTest, SplitImageDescriptorFileIsReplaced) {
  ScopedTempDir dir;
  writeSplit(dir.path(), "disk.vmdk", "disk");
  ASSERT_EQ(chmod(dir.file("disk.vmdk").c_str(), 0640), 0);
  auto before = snapshot(dir.path());
  RunResult run = runSkarvel({"convert", "disk.vmdk", "hwver=6", "adapter=lsilogic"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  // Same extent lines, in order, one empty line after them; no zero byte.
  EXPECT_EQ(readText(dir.file("disk.vmdk")),
            rootText("4000dddd", "twoGbMaxExtentSparse",
                     "RW 8192 SPARSE \"disk-s001.vmdk\"\nRW 8192 SPARSE \"disk-s002.vmdk\"\n\n",
                     "6", "lsilogic"));
  auto after = snapshot(dir.path());
  ASSERT_EQ(after.size(), 3u);  // no temporary file left beside it
  EXPECT_EQ(after["disk-s001.vmdk"], before["disk-s001.vmdk"]);
  EXPECT_EQ(after["disk-s002.vmdk"], before["disk-s002.vmdk"]);
#ifndef _WIN32  // no permission bits but the read-only attribute
  struct stat st;
  ASSERT_EQ(stat(dir.file("disk.vmdk").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
#endif
}

TEST(ConvertTest, DescriptorThatDoesNotFitIsRefused) {
  ScopedTempDir dir;
  writeRoot(dir.file("disk.vmdk"));
  Bytes before = readBytes(dir.file("disk.vmdk"));
  RunResult run =
      runSkarvel({"convert", "disk.vmdk", "adapter=" + std::string(10000, 'a')}, dir.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Descriptor too long for disk.vmdk\n");
  EXPECT_EQ(readBytes(dir.file("disk.vmdk")), before);

  // At the edge: the text and its terminating zero fill the 10240 bytes exactly.
  const size_t room =
      10239 - rootText("00001234", "monolithicSparse", singleExtent("disk.vmdk"), "4", "").size();
  run = runSkarvel({"convert", "disk.vmdk", "adapter=" + std::string(room + 1, 'b')}, dir.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(readBytes(dir.file("disk.vmdk")), before);
  run = runSkarvel({"convert", "disk.vmdk", "adapter=" + std::string(room, 'b')}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  Bytes after = readBytes(dir.file("disk.vmdk"));
  EXPECT_EQ(after[512 + 10238], '\n');
  EXPECT_EQ(after[512 + 10239], 0);
  EXPECT_TRUE(std::equal(after.begin() + 10752, after.end(), before.begin() + 10752));
}

TEST(ConvertTest, WritesOnlyTheAreaTheHeaderDeclares) {
  // A header declaring a 10-sector descriptor; sectors 11-20 hold bytes that
  // belong to nobody the header knows of and must survive.
  ScopedTempDir dir;
  writeRoot(dir.file("disk.vmdk"));
  Bytes file = readBytes(dir.file("disk.vmdk"));
  file[36] = 10;
  std::fill(file.begin() + 11 * 512, file.begin() + 21 * 512, 0xA5);
  writeBytes(dir.file("disk.vmdk"), file);

  RunResult run =
      runSkarvel({"convert", "disk.vmdk", "adapter=" + std::string(6000, 'a')}, dir.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Descriptor too long for disk.vmdk\n");
  EXPECT_EQ(readBytes(dir.file("disk.vmdk")), file);

  run = runSkarvel({"convert", "disk.vmdk", "hwver=6"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  Bytes after = readBytes(dir.file("disk.vmdk"));
  std::string expected =
      rootText("00001234", "monolithicSparse", singleExtent("disk.vmdk"), "6", "ide");
  EXPECT_EQ(embeddedText(after, 5120), expected);
  EXPECT_TRUE(std::all_of(after.begin() + 512 + expected.size(), after.begin() + 11 * 512,
                          [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::equal(after.begin() + 11 * 512, after.end(), file.begin() + 11 * 512));
}

TEST(ConvertTest, DescriptorFileThatCannotBeReplacedStaysWhole) {
  // A descriptor file whose name takes the longest a directory entry may
  // have: no new file beside it with a longer name can be made, whoever runs.
  ScopedTempDir dir;
  const std::string name = std::string(250, 'd') + ".vmdk";
  writeSplit(dir.path(), name, "x");
  auto before = snapshot(dir.path());
  RunResult run = runSkarvel({"convert", name, "hwver=6"}, dir.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Failed to re-write file " + name + "\n");
  EXPECT_EQ(snapshot(dir.path()), before);
}

TEST(ConvertTest, DescriptorFileInReadOnlyDirectoryStaysWhole) {
  SKARVEL_SKIP_ON_WINDOWS("read-only directories (the attribute does not stop new files)");
  ScopedTempDir dir;
  fs::create_directory(dir.file("ro"));
  writeSplit(dir.file("ro"), "disk.vmdk", "disk");
  // The descriptor file itself may be written; only the directory may not.
  ASSERT_EQ(chmod(dir.file("ro/disk.vmdk").c_str(), 0666), 0);
  auto before = snapshot(dir.file("ro"));
  ASSERT_EQ(chmod(dir.file("ro").c_str(), 0555), 0);
  RunResult run;
  RUN_WITHOUT_PRIVILEGES(run, std::vector<std::string>({"convert", "ro/disk.vmdk", "hwver=6"}),
                         dir);
  chmod(dir.file("ro").c_str(), 0755);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Failed to re-write file ro/disk.vmdk\n");
  EXPECT_EQ(snapshot(dir.file("ro")), before);
}

// A descriptor file reached through a symbolic link: the file it names is
// replaced and the link stays a link.
TEST(ConvertTest, LinkedDescriptorFileIsReplacedBehindTheLink) {
  SKARVEL_SKIP_ON_WINDOWS("symbolic links for unprivileged users");
  ScopedTempDir dir;
  writeSplit(dir.path(), "disk.vmdk", "disk");
  fs::create_symlink("disk.vmdk", dir.file("link.vmdk"));
  RunResult run = runSkarvel({"convert", "link.vmdk", "hwver=6"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fs::is_symlink(dir.file("link.vmdk")));
  EXPECT_NE(readText(dir.file("disk.vmdk")).find("ddb.virtualHWVersion = \"6\"\n"),
            std::string::npos);
}

// Whatever lies where the new text would first go is left alone: a link
// planted there does not lead the write to another file.
TEST(ConvertTest, PlantedLinkBesideTheDescriptorFileIsNotFollowed) {
  SKARVEL_SKIP_ON_WINDOWS("symbolic links for unprivileged users");
  ScopedTempDir dir;
  writeSplit(dir.path(), "disk.vmdk", "disk");
  writeText(dir.file("victim"), "keep me");
  fs::create_symlink("victim", dir.file(".disk.vmdk.skarvel-0"));
  RunResult run = runSkarvel({"convert", "disk.vmdk", "adapter=ide"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readText(dir.file("victim")), "keep me");
  EXPECT_TRUE(fs::is_symlink(dir.file(".disk.vmdk.skarvel-0")));
  EXPECT_NE(readText(dir.file("disk.vmdk")).find("ddb.adapterType = \"ide\"\n"), std::string::npos);
  EXPECT_EQ(snapshot(dir.path()).size(), 5u);  // 2 extents, descriptor, victim, link
}

// A header whose descriptor area runs into the grain directories would lose
// the image's index if rewritten: it is refused and the file stays whole.
TEST(ConvertTest, DescriptorAreaOverlappingTheIndexIsRefused) {
  // The 8 MiB root: redundant directory at 21 with its table at 22-25,
  // primary directory at 26 with its table at 27-30, grains from 128.
  const struct { uint8_t offset, size; } areas[] = {{1, 40}, {22, 4}, {27, 1}, {100, 29}};
  for (const auto& area : areas) {
    SCOPED_TRACE(std::to_string(area.offset) + "+" + std::to_string(area.size));
    ScopedTempDir dir;
    writeRoot(dir.file("disk.vmdk"));
    Bytes file = readBytes(dir.file("disk.vmdk"));
    file[28] = area.offset;  // descriptorOffset
    file[36] = area.size;    // descriptorSize
    writeBytes(dir.file("disk.vmdk"), file);
    RunResult run = runSkarvel({"convert", "disk.vmdk", "hwver=6"}, dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Invalid sparse extent header in disk.vmdk\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(readBytes(dir.file("disk.vmdk")), file);
  }
}

// A 77-byte header whose descriptor area is declared to reach 2 TiB: convert
// must not write past the end of the file (it would fill the disk). The
// file ends long before the overhead it declares.
TEST(ConvertTest, DescriptorAreaPastTheEndOfTheFileIsRefused) {
  ScopedTempDir dir;
  Bytes header(77, 0);
  auto put = [&header](size_t at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) header[at + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  put(0, 0x564D444B, 4);                // "KDMV"
  put(4, 1, 4);                         // version
  put(12, uint64_t{1} << 28, 8);        // capacity: 128 GiB
  put(20, 128, 8);                      // grainSize
  put(28, 1, 8);                        // descriptorOffset
  put(36, (uint64_t{1} << 32) - 2, 8);  // descriptorSize
  put(44, 512, 4);                      // numGTEsPerGT
  put(64, uint64_t{1} << 32, 8);        // overHead; both directories at 0
  writeBytes(dir.file("disk.vmdk"), header);
  RunResult run = runSkarvel({"convert", "disk.vmdk", "hwver=6"}, dir.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Truncated image file disk.vmdk\n");
  EXPECT_EQ(readBytes(dir.file("disk.vmdk")), header);
}

// A write made to fail at each step in turn leaves the old text or the new
// one, never the new text running on into the tail of the old.
TEST(ConvertTest, AFailedWriteLeavesTheOldTextOrTheNew) {
  ScopedTempDir dir;
  std::string path = dir.file("disk.vmdk");
  // Old text longer than the new one, so that a tail of it would show.
  auto writeRoot = [&path] {
    ExtentFixture image;
    image.capacity = 16384;
    image.descriptor = descriptorText(0x1234, 0xFFFFFFFF, "", "monolithicSparse",
                                      "RW 16384 SPARSE \"disk.vmdk\"\n") +
                       "# " + std::string(2000, 'x') + "\n";
    writeSparseExtentFile(path, image);
  };
  writeRoot();
  const std::string before = embeddedText(readBytes(path));
  ASSERT_EQ(runSkarvel({"convert", "disk.vmdk", "hwver=6"}, dir.path()).status, 0);
  const std::string after = embeddedText(readBytes(path));
  for (uint64_t writes = 0; writes < 3; ++writes) {
    writeRoot();
    runFailingWritesAfter(writes, {"convert", path, "hwver=6"});
    std::string text = embeddedText(readBytes(path));
    EXPECT_TRUE(text == before || text == after) << writes << ": " << text;
  }
}

}  // namespace
}  // namespace skarvel::test
