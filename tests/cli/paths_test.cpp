// Path text functions, the command word taken off the command line, and the
// generator of content identifiers.
#include "cli/paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/cid.h"
#include "cli/entry.h"

namespace skarvel {
namespace {

TEST(PathsTest, SplitPath) {
  struct Case {
    std::string path, directory, fileName;
  };
  // clang-format off
  const Case cases[] = {
      {"dir/sub/a.vmdk", "dir/sub/", "a.vmdk"}, {"a.vmdk", "", "a.vmdk"},
      {"/a.vmdk", "/", "a.vmdk"}, {"dir\\", "dir\\", ""}, {"dir/", "dir/", ""}, {"", "", ""},
      {"/", "/", ""}, {"\\", "\\", ""}, {"a", "", "a"}, {"\\a.vmdk", "\\", "a.vmdk"},
      {"//a", "//", "a"}, {"./a.vmdk", "./", "a.vmdk"}, {"D:a.vmdk", "", "D:a.vmdk"},
      {"D:\\images\\a.vmdk", "D:\\images\\", "a.vmdk"},
      {"my dir/my disk.vmdk", "my dir/", "my disk.vmdk"},
      // Mixed separators: the last one of either kind counts.
      {"dir\\sub/a.vmdk", "dir\\sub/", "a.vmdk"}, {"dir/sub\\a.vmdk", "dir/sub\\", "a.vmdk"},
  };
  // clang-format on
  for (const Case& c : cases) {
    std::string directory = "stale", fileName = "stale";
    splitPath(c.path, directory, fileName);
    EXPECT_EQ(directory, c.directory) << '"' << c.path << '"';
    EXPECT_EQ(fileName, c.fileName) << '"' << c.path << '"';
  }
}

TEST(PathsTest, IsAbsolutePath) {
  struct Case {
    std::string path;
    bool absolute;
  };
  // Any character may stand in the drive letter's place; "D:\" is too short.
  // clang-format off
  const Case cases[] = {
      {"/a.vmdk", true}, {"\\a.vmdk", true}, {"/", true}, {"\\", true},
      {"D:\\images\\a.vmdk", true}, {"D:/images/a.vmdk", true}, {"D:\\a", true}, {"1:\\x", true},
      {"D:\\", false}, {"D:/", false}, {"D:a.vmdk", false}, {"DD:\\a.vmdk", false},
      {"images/a.vmdk", false}, {"a.vmdk", false}, {"", false},
  };
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(isAbsolutePath(c.path), c.absolute) << '"' << c.path << '"';
  }
}

TEST(PathsTest, TakeCommandWord) {
  struct Case {
    std::vector<std::string> argv;
    std::string word;
    std::vector<std::string> argvAfter;  // entries 0 .. argc-1 afterwards
  };
  // clang-format off
  const Case cases[] = {
      {{"skarvel"}, "", {"skarvel"}},
      {{"skarvel", "info", "disk.vmdk"}, "info", {"skarvel", "disk.vmdk"}},
      {{"skarvel", "copy", "-p", "a.vmdk", "b.vmdk"}, "copy", {"skarvel", "-p", "a.vmdk", "b.vmdk"}},
      {{"skarvel", "INFO"}, "INFO", {"skarvel"}},
      {{"skarvel", ""}, "", {"skarvel"}},
      // An option first: the word is the program's file name; argv stays.
      {{"/usr/local/bin/copy", "-p", "a.vmdk", "b.vmdk"}, "copy",
       {"/usr/local/bin/copy", "-p", "a.vmdk", "b.vmdk"}},
      {{"D:\\tools\\copy", "-p", "a.vmdk", "b.vmdk"}, "copy",
       {"D:\\tools\\copy", "-p", "a.vmdk", "b.vmdk"}},
      {{"copy.exe", "-p", "a.vmdk", "b.vmdk"}, "copy.exe", {"copy.exe", "-p", "a.vmdk", "b.vmdk"}},
      {{"./skarvel", "-p", "copy", "a", "b"}, "skarvel", {"./skarvel", "-p", "copy", "a", "b"}},
      {{"/opt/tools/", "-"}, "", {"/opt/tools/", "-"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    std::string label = ::testing::PrintToString(c.argv);
    std::vector<std::string> strings = c.argv;
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    int argc = static_cast<int>(strings.size());

    EXPECT_EQ(takeCommandWord(argc, pointers.data()), c.word) << label;
    ASSERT_EQ(argc, static_cast<int>(c.argvAfter.size())) << label;
    for (int i = 0; i < argc; ++i) {
      EXPECT_STREQ(pointers[i], c.argvAfter[i].c_str()) << label << " at " << i;
    }
    EXPECT_EQ(pointers[argc], nullptr) << label;
  }
}

// The classic sequence of the 32-bit Windows runtime's rand():
// state = state * 214013 + 2531011 (mod 2^32), value = (state >> 16) & 0x7FFF.
TEST(CidTest, ClassicSequence) {
  seedCid(0);
  for (uint32_t expected : {38u, 7719u, 21238u, 2437u, 8855u, 11797u, 8365u, 32285u}) {
    EXPECT_EQ(nextCid(), expected);
  }
  seedCid(1);
  for (uint32_t expected : {41u, 18467u, 6334u, 26500u, 19169u}) {
    EXPECT_EQ(nextCid(), expected);
  }
  // Seeding again restarts the sequence.
  seedCid(0);
  EXPECT_EQ(nextCid(), 38u);
}

TEST(CidTest, ValuesStayWithinFifteenBits) {
  for (uint32_t seed : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu, 1700000000u}) {
    seedCid(seed);
    uint32_t largest = 0;
    for (int i = 0; i < 100000; ++i) {
      uint32_t value = nextCid();
      ASSERT_LE(value, 0x7FFFu) << "seed " << seed << " draw " << i;
      largest = std::max(largest, value);
    }
    // The whole 15-bit range is used, not a narrower one.
    EXPECT_GT(largest, 0x7F00u) << "seed " << seed;
  }
}

// A process started without even a program name gets the usage text, and
// nothing is read past the end of its empty argument vector.
TEST(EntryTest, EmptyArgumentVectorShowsUsage) {
  char* argv[] = {nullptr};
  testing::internal::CaptureStdout();
  EXPECT_EQ(runCommandLine(0, argv), 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("Usage: skarvel <command> [options] [infile] [outfile]\n", 0), 0u) << out;
  EXPECT_EQ(argv[0], nullptr);
}

}  // namespace
}  // namespace skarvel
