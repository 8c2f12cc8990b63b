// What only the Windows build meets, through skarvel.exe: lines that end in
// CR LF, names outside the ANSI code page, drive-letter and long UNC paths,
// '\' in paths and hints, other spellings of one file, and the read-only
// attribute.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "image_builder.h"
#include "platform/file.h"
#include "run_tool.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

namespace fs = std::filesystem;

void skarvel(const std::vector<std::string>& args, const ScopedTempDir& dir) {
  RunResult run = runSkarvel(args, dir.path());
  ASSERT_EQ(run.status, 0) << args[0] << ": " << run.err;
}

// The hint recorded in the embedded descriptor of |path|.
std::string hintOf(const std::string& path) {
  std::string text = embeddedText(readBytes(path));
  const std::string key = "\nparentFileNameHint=\"";
  size_t at = text.find(key);
  if (at == std::string::npos) return std::string();
  at += key.size();
  return text.substr(at, text.find('"', at) - at);
}

TEST(WindowsCommandsTest, LinesEndInCrLf) {
  ScopedTempDir dir;
  // The raw bytes, as a console or a file receives them.
  RunResult usage = runProgram(skarvelBinary(), {}, dir.path());
  EXPECT_EQ(usage.status, 1);
  const std::string start =
      "Usage: skarvel <command> [options] [infile] [outfile]\r\n\r\nOptions:\r\n";
  EXPECT_EQ(usage.out.substr(0, start.size()), start);
  // 83 lines, each ended by CR LF, and no other CR.
  EXPECT_EQ(std::count(usage.out.begin(), usage.out.end(), '\n'), 83);
  EXPECT_EQ(std::count(usage.out.begin(), usage.out.end(), '\r'), 83);
  for (size_t at = usage.out.find('\n'); at != std::string::npos;
       at = usage.out.find('\n', at + 1)) {
    EXPECT_EQ(usage.out[at - 1], '\r') << at;
  }

  skarvel({"create", "-s", "8M", "disk.vmdk"}, dir);
  RunResult copy = runProgram(skarvelBinary(), {"copy", "disk.vmdk", "copy.vmdk"}, dir.path());
  // 8 MiB: 128 grains of data and one grain's worth of metadata.
  std::string expected = "Copying 129 Grains ...\r\n";
  for (int i = 1; i <= 129; ++i) {
    expected += std::to_string(i) + "/129, " + std::to_string(i * 100 / 129) + "%\r";
  }
  EXPECT_EQ(copy.out, expected + "\r\n");

  RunResult missing = runProgram(skarvelBinary(), {"info", "gone.vmdk"}, dir.path());
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "Failed to open gone.vmdk\r\n");
}

TEST(WindowsCommandsTest, NamesOutsideTheAnsiCodePage) {
  ScopedTempDir dir;
  fs::create_directory(pathOf(dir.file("映像")));
  skarvel({"create", "-s", "8M", "диск.vmdk"}, dir);
  skarvel({"clone", "диск.vmdk", "映像/子.vmdk"}, dir);
  skarvel({"copy", "-p", "映像/子.vmdk", "平.vmdk"}, dir);
  EXPECT_EQ(hintOf(dir.file("映像/子.vmdk")), "../диск.vmdk");
  EXPECT_NE(readText(dir.file("平.vmdk")).find("RW 16384 SPARSE \"平-s001.vmdk\"\n"),
            std::string::npos);
  // Printed as UTF-8, whether to a console or, as here, to a file.
  RunResult info = runSkarvel({"info", "映像/子.vmdk"}, dir.path());
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("\n000 映像/子.vmdk\n001 ../диск.vmdk\n"), std::string::npos) << info.out;
  RunResult missing = runSkarvel({"info", "нет.vmdk"}, dir.path());
  EXPECT_EQ(missing.err, "Failed to open нет.vmdk\n");
}

TEST(WindowsCommandsTest, DriveLetterAndUncPathsAreAbsolute) {
  ScopedTempDir dir;
  skarvel({"create", "-s", "8M", "base.vmdk"}, dir);
  // As typed, with a drive letter or as a long UNC name.
  const std::string drive = dir.path() + "\\base.vmdk", unc = "\\\\?\\" + drive;
  for (const std::string& parent : {drive, unc}) {
    SCOPED_TRACE(parent);
    skarvel({"clone", parent, "child.vmdk"}, dir);
    EXPECT_EQ(hintOf(dir.file("child.vmdk")), parent);
    RunResult info = runSkarvel({"info", "child.vmdk"}, dir.path());
    EXPECT_NE(info.out.find("\n001 " + parent + "\n"), std::string::npos) << info.err;
  }
}

// No relative name leads from one drive to another: a child on another
// drive records the parent's absolute name, with '/'.
TEST(WindowsCommandsTest, ChildOnAnotherDriveRecordsTheAbsoluteName) {
  ScopedTempDir dir;
  skarvel({"create", "-s", "8M", "base.vmdk"}, dir);
  std::string working = platform::currentDirectory();
  if (std::toupper(working[0]) == std::toupper(dir.path()[0])) {
    GTEST_SKIP() << "the working directory " << working << " is on the drive of " << dir.path();
  }
  ScopedTempDir other(working);
  skarvel({"clone", "base.vmdk", other.file("child.vmdk")}, dir);
  std::string expected = dir.path() + "/base.vmdk";
  std::replace(expected.begin(), expected.end(), '\\', '/');
  EXPECT_EQ(hintOf(other.file("child.vmdk")), expected);
  RunResult info = runSkarvel({"info", other.file("child.vmdk")}, dir.path());
  EXPECT_EQ(info.status, 0) << info.err;
}

TEST(WindowsCommandsTest, BackslashesSeparate) {
  ScopedTempDir dir;
  for (const char* sub : {"sub", "other", "ext"}) fs::create_directory(dir.file(sub));
  skarvel({"create", "-s", "8M", "sub\\base.vmdk"}, dir);
  skarvel({"clone", "sub\\base.vmdk", "other\\child.vmdk"}, dir);
  EXPECT_EQ(hintOf(dir.file("other/child.vmdk")), "../sub/base.vmdk");
  // A hint the tool writes uses '/', also where the path was typed with '\'.
  skarvel({"clone", "sub\\base.vmdk", "child.vmdk"}, dir);
  EXPECT_EQ(hintOf(dir.file("child.vmdk")), "sub/base.vmdk");

  // Names with '\' that another tool wrote: a parent hint and an extent line.
  ExtentFixture theirs;
  theirs.capacity = 16384;
  theirs.descriptor = descriptorText(2, 1, "..\\sub\\base.vmdk", "monolithicSparse",
                                     "RW 16384 SPARSE \"theirs.vmdk\"\n");
  writeSparseExtentFile(dir.file("other/theirs.vmdk"), theirs);
  RunResult info = runSkarvel({"info", "other\\theirs.vmdk"}, dir.path());
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("\n001 ..\\sub\\base.vmdk\n"), std::string::npos) << info.err;
  ExtentFixture extent;
  extent.capacity = 16384;
  writeSparseExtentFile(dir.file("ext/e.vmdk"), extent);
  writeText(dir.file("split.vmdk"), descriptorText(3, ~0u, "", "twoGbMaxExtentSparse",
                                                   "RW 16384 SPARSE \"ext\\e.vmdk\"\n"));
  info = runSkarvel({"info", "split.vmdk"}, dir.path());
  EXPECT_NE(info.out.find("Capacity       : 16384 Sectors"), std::string::npos) << info.err;
}

TEST(WindowsCommandsTest, OtherSpellingsOfAnInputAreRefused) {
  ScopedTempDir dir;
  fs::create_directory(dir.file("sub"));
  skarvel({"create", "-s", "8M", "a.vmdk"}, dir);
  const auto before = snapshot(dir.path());
  const std::vector<std::string> cases[] = {
      {"copy", "a.vmdk", "A.VMDK"},
      {"copy", "a.vmdk", ".\\a.vmdk"},
      {"copy", "sub\\..\\a.vmdk", dir.path() + "\\A.vmdk"},
      {"clone", "a.vmdk", "SUB\\..\\a.vmdk"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[2]);
    RunResult run = runSkarvel(args, dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Output would overwrite input file " + args[2] + "\n");
    EXPECT_EQ(snapshot(dir.path()), before);
  }
}

TEST(WindowsCommandsTest, ConvertRefusesAReadOnlyDescriptorFile) {
  ScopedTempDir dir;
  skarvel({"create", "-s", "8M", "single.vmdk"}, dir);
  skarvel({"copy", "-p", "single.vmdk", "disk.vmdk"}, dir);
  fs::permissions(pathOf(dir.file("disk.vmdk")), fs::perms::owner_read);  // the attribute
  const auto before = snapshot(dir.path());
  RunResult run = runSkarvel({"convert", "disk.vmdk", "hwver=6"}, dir.path());
  fs::permissions(pathOf(dir.file("disk.vmdk")), fs::perms::owner_all);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Failed to open disk.vmdk\n");
  EXPECT_EQ(snapshot(dir.path()), before);
}

}  // namespace
}  // namespace skarvel::test
