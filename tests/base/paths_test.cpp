// Path text: splitting, the absolute test and the parent hint.
#include "base/paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

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
      {"\\\\server\\share\\a.vmdk", true}, {"\\\\?\\D:\\a.vmdk", true},
      {"D:\\", false}, {"D:/", false}, {"D:a.vmdk", false}, {"DD:\\a.vmdk", false},
      {"images/a.vmdk", false}, {"a.vmdk", false}, {"", false},
  };
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(isAbsolutePath(c.path), c.absolute) << '"' << c.path << '"';
  }
}

TEST(PathsTest, ParentHintRelativeToTheChildsDirectory) {
  struct Case {
    const char *parent, *child, *hint;
  };
  const Case cases[] = {
      // No directory on the child, or an absolute parent: as typed.
      {"base.vmdk", "child.vmdk", "base.vmdk"},
      {"images/base.vmdk", "child.vmdk", "images/base.vmdk"},
      {"/data/base.vmdk", "out/child.vmdk", "/data/base.vmdk"},
      {"\\data\\base.vmdk", "out\\child.vmdk", "\\data\\base.vmdk"},
      {"D:\\img\\base.vmdk", "out\\child.vmdk", "D:\\img\\base.vmdk"},
      {"\\\\server\\share\\base.vmdk", "out\\child.vmdk", "\\\\server\\share\\base.vmdk"},
      // Relative to the child's directory, joined with '/'.
      {"images/base.vmdk", "images/child.vmdk", "base.vmdk"},
      {"base.vmdk", "out/child.vmdk", "../base.vmdk"},
      {"a/base.vmdk", "b/child.vmdk", "../a/base.vmdk"},
      // Common leading ".." components cancel out.
      {"../s/base.vmdk", "../s/child.vmdk", "base.vmdk"},
      {"../s/base.vmdk", "../t/child.vmdk", "../s/base.vmdk"},
      {"../../a/b/base.vmdk", "../../a/c/d/child.vmdk", "../../b/base.vmdk"},
      {"a/x/base.vmdk", "a/y/z/child.vmdk", "../../x/base.vmdk"},
      {"a/b/base.vmdk", "a/child.vmdk", "b/base.vmdk"},
      {"a\\base.vmdk", "b\\child.vmdk", "../a/base.vmdk"},
      {"a/base.vmdk", "./child.vmdk", "a/base.vmdk"},
      {"../base.vmdk", "out/child.vmdk", "../../base.vmdk"},
      {"a/a", "a/a/child.vmdk", "../a"},
      // "." and "name/.." removed first.
      {"./a/./base.vmdk", "b/./child.vmdk", "../a/base.vmdk"},
      {"a/x/../base.vmdk", "a/child.vmdk", "base.vmdk"},
      {"base.vmdk", "x/../child.vmdk", "base.vmdk"},
      {"a/base.vmdk", "a/b/../child.vmdk", "base.vmdk"},
      // No lexical way from the child's directory: the parent's absolute path.
      {"base.vmdk", "/abs/out/child.vmdk", "/w/base.vmdk"},
      {"a/base.vmdk", "\\abs\\child.vmdk", "/w/a/base.vmdk"},
      {"base.vmdk", "../out/child.vmdk", "/w/base.vmdk"},
      {"a/base.vmdk", "x/../../out/child.vmdk", "/w/a/base.vmdk"},
      {"../s/base.vmdk", "../../t/child.vmdk", "/w/../s/base.vmdk"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parentHintFor(c.parent, c.child, "/w"), c.hint)
        << "parent " << c.parent << ", child " << c.child;
  }
  // An unknown working directory never makes a wrong absolute path.
  EXPECT_EQ(parentHintFor("a/base.vmdk", "/abs/child.vmdk", ""), "a/base.vmdk");
}

}  // namespace
}  // namespace skarvel
