// The file layer on either system, where the commands' tests do not reach:
// sizes and positions past 4 GiB, the read-only permission, and windows
// onto part of a file. (The commands' tests run on both systems and cover
// the rest.)
#include "platform/file.h"

#include <gtest/gtest.h>

#include <filesystem>

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

TEST(FileTest, WindowShowsOnlyItsPartOfTheFile) {
  test::ScopedTempDir dir;
  test::writeText(dir.file("archive"), "0123456789");
  EXPECT_EQ(openFileWindow(dir.file("archive"), kReadWrite, 3, 4), -1);
  int fd = openFileWindow(dir.file("archive"), kOpenBinary | kOpenReadOnly, 3, 4);
  ASSERT_GE(fd, 0);
  char bytes[8] = {};
  EXPECT_EQ(readFileAt(fd, 1, bytes, 8), 3);  // "456": cut at the window's end
  EXPECT_EQ(std::string(bytes, 3), "456");
  EXPECT_EQ(readFileAt(fd, 4, bytes, 8), 0);
  uint64_t length = 0, begin = 0, end = 0;
  EXPECT_TRUE(fileSizeOf(fd, &length) && length == 4);
  EXPECT_TRUE(readableLength(fd, &length) && length == 4);
  EXPECT_FALSE(findData(fd, 0, &begin, &end));  // the file's holes are not the window's
  ASSERT_TRUE(seekFile32(fd, 2));
  EXPECT_EQ(readFile(fd, bytes, 8), 2);
  EXPECT_EQ(std::string(bytes, 2), "56");
  EXPECT_TRUE(closeFile(fd));
  // A descriptor that reuses the number is a whole file again.
  fd = openFile(dir.file("archive"), kOpenBinary | kOpenReadOnly);
  EXPECT_TRUE(fileSizeOf(fd, &length) && length == 10);
  closeFile(fd);
}

}  // namespace
}  // namespace skarvel::platform
