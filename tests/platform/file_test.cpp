// The file layer on either system: sizes and positions past 4 GiB, file
// identity, replacing, the read-only permission, resolved names, refused
// directories.
#include "platform/file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/paths.h"
#include "test_files.h"

namespace skarvel::platform {
namespace {

namespace fs = std::filesystem;

constexpr int kReadWrite = kOpenBinary | kOpenReadWrite;
constexpr uint64_t kFiveGiB = 5ull << 30;

TEST(FileTest, PositionsAndSizesPast4GiB) {
  test::ScopedTempDir dir;
  int fd = openFile(dir.file("big"), kReadWrite | kOpenCreate | kOpenTruncate);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(setFileSize(fd, kFiveGiB));  // a hole: nothing is written
  EXPECT_EQ(test::fileSize(dir.file("big")), kFiveGiB);
  ASSERT_TRUE(seekFile64(fd, kFiveGiB - 1));
  ASSERT_TRUE(writeFile(fd, "x", 1));
  ASSERT_TRUE(seekFile64(fd, (4ull << 30) + 7));
  char bytes[2] = {1, 1};
  EXPECT_EQ(readFile(fd, bytes, 2), 2);
  EXPECT_EQ(bytes[0], 0);
  ASSERT_TRUE(seekFile64(fd, kFiveGiB - 1));
  EXPECT_EQ(readFile(fd, bytes, 2), 1);  // the last byte, then the end
  EXPECT_EQ(bytes[0], 'x');
  ASSERT_TRUE(setFileSize(fd, 3));  // shrinks as well
  EXPECT_TRUE(closeFile(fd));
  EXPECT_EQ(test::fileSize(dir.file("big")), 3u);
}

TEST(FileTest, IdentityReplacingAndResolvedNames) {
  test::ScopedTempDir dir;
  test::writeText(dir.file("a"), "old");
  test::writeText(dir.file("b"), "new");
  FileIdentity a, b, open;
  ASSERT_TRUE(identityOfPath(dir.file("a"), &a));
  ASSERT_TRUE(identityOfPath(dir.file("b"), &b));
  EXPECT_FALSE(identityOfPath(dir.file("missing"), &open));
  EXPECT_FALSE(a == b);
  int fd = openFile(dir.file("a"), kOpenBinary | kOpenReadOnly);
  ASSERT_TRUE(identityOfDescriptor(fd, &open));
  EXPECT_TRUE(open == a);
  closeFile(fd);

  // The resolved name is absolute and names the same file.
  std::string resolved = resolvedPath(dir.file("a"));
  EXPECT_TRUE(isAbsolutePath(resolved)) << resolved;
  ASSERT_TRUE(identityOfPath(resolved, &open));
  EXPECT_TRUE(open == a);
  EXPECT_EQ(resolvedPath(dir.file("missing")), dir.file("missing"));

  ASSERT_TRUE(replaceFile(dir.file("b"), dir.file("a")));
  EXPECT_EQ(test::readText(dir.file("a")), "new");
  EXPECT_FALSE(test::fileExists(dir.file("b")));
}

TEST(FileTest, ReadOnlyPermissionIsCopiedAndHonoured) {
  test::ScopedTempDir dir;
  test::writeText(dir.file("from"), "x");
  fs::permissions(test::pathOf(dir.file("from")), fs::perms::owner_read);
  int from = openFile(dir.file("from"), kOpenBinary | kOpenReadOnly);
  int to = openFile(dir.file("to"), kReadWrite | kOpenCreate);
  ASSERT_GE(from, 0);
  ASSERT_GE(to, 0);
  EXPECT_TRUE(copyPermissions(from, to));
  closeFile(from);
  closeFile(to);
  fs::perms copied = fs::status(test::pathOf(dir.file("to"))).permissions();
  EXPECT_EQ(copied & fs::perms::owner_write, fs::perms::none);
#ifdef _WIN32  // on POSIX root may write it all the same
  EXPECT_EQ(openFile(dir.file("to"), kReadWrite), -1);
#endif
  for (const char* name : {"from", "to"}) {
    fs::permissions(test::pathOf(dir.file(name)), fs::perms::owner_all);
  }
}

TEST(FileTest, DirectoriesAreRefused) {
  test::ScopedTempDir dir;
  EXPECT_EQ(openFile(dir.path(), kOpenBinary | kOpenReadOnly), -1);
  EXPECT_EQ(openFile(dir.path(), kReadWrite), -1);
}

TEST(FileTest, WorkingDirectoryHasNoTrailingSeparator) {
  std::string directory = currentDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_TRUE(isAbsolutePath(directory + "/x")) << directory;
  EXPECT_FALSE(directory.size() > 1 && isPathSeparator(directory.back())) << directory;
#ifdef _WIN32  // so that no '\' reaches a hint made from it
  EXPECT_EQ(directory.find('\\'), std::string::npos) << directory;
#endif
}

}  // namespace
}  // namespace skarvel::platform
