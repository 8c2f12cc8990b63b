// The command word taken off the command line, and a run without arguments.
#include "cli/entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace skarvel {
namespace {

TEST(EntryTest, TakeCommandWord) {
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
