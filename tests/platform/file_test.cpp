// The file layer on either system, where the commands' tests do not reach:
// sizes and positions past 4 GiB, and the read-only permission. (The
// commands' tests run on both systems and cover the rest.)
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

}  // namespace
}  // namespace skarvel::platform
