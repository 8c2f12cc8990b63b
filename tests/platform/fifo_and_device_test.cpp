// FIFOs and sockets hold no image: every command refuses them at once, as
// inputs, extents, parents and outputs, instead of waiting for a peer that
// never comes or writing into nothing. Character devices are refused as
// inputs, extents and parents (/dev/zero would be read without end), and
// open as outputs as any file does; a write past the file size limit fails
// as one to /dev/full does, with a message.
#include <gtest/gtest.h>

#include "skip_on_windows.h"

#ifdef _WIN32
TEST(FifoAndDeviceTest, FifosAndSockets) { SKARVEL_SKIP_ON_WINDOWS("FIFOs and sockets"); }
#else
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "image_builder.h"
#include "run_tool.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

namespace fs = std::filesystem;

// Leaves a socket file at |path|: a bound socket's name stays after it closes.
void makeSocketFile(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, path.c_str());
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(fd);
}

void writeImage(const std::string& path, uint32_t parentCid, const std::string& hint) {
  ExtentFixture image;
  image.capacity = 16384;
  image.descriptor = descriptorText(0x1234, parentCid, hint, "monolithicSparse",
                                    "RW 16384 SPARSE \"image.vmdk\"\n");
  writeSparseExtentFile(path, image);
}

TEST(FifoAndDeviceTest, FifosAndSocketsAreRefusedAtOnce) {
  ScopedTempDir dir;
  ASSERT_EQ(mkfifo(dir.file("fifo.vmdk").c_str(), 0644), 0);
  makeSocketFile(dir.file("sock.vmdk"));
  writeImage(dir.file("a.vmdk"), 0xFFFFFFFF, "");
  writeImage(dir.file("child.vmdk"), 0x1234, "fifo.vmdk");
  writeText(dir.file("split.vmdk"), descriptorText(0x4321, 0xFFFFFFFF, "", "twoGbMaxExtentSparse",
                                                   "RW 16384 SPARSE \"fifo.vmdk\"\n"));
  writeText(dir.file("flat.vmdk"), descriptorText(0x4321, 0xFFFFFFFF, "", "monolithicFlat",
                                                  "RW 8000000000 FLAT \"/dev/urandom\" 0\n"));
  writeImage(dir.file("zchild.vmdk"), 0x1234, "/dev/zero");
  struct Case {
    std::vector<std::string> args;
    std::string err;
    std::string made = {};       // a file made before the failure, which stays
    const char* fileLimit = {};  // the shell's ulimit -f, in blocks of 512 bytes
  };
  const Case cases[] = {
      {{"info", "fifo.vmdk"}, "Failed to open fifo.vmdk\n"},
      {{"info", "sock.vmdk"}, "Failed to open sock.vmdk\n"},
      {{"info", "split.vmdk"}, "Failed to open fifo.vmdk\n"},  // an extent
      {{"info", "child.vmdk"}, "Failed to open fifo.vmdk\n"},  // a parent
      {{"copy", "sock.vmdk", "out.vmdk"}, "Failed to open sock.vmdk\n"},
      {{"copy", "flat.vmdk", "out.vmdk"}, "Failed to open /dev/urandom\n"},
      {{"copy", "zchild.vmdk", "out.vmdk"}, "Failed to open /dev/zero\n"},
      {{"convert", "fifo.vmdk", "hwver=6"}, "Failed to open fifo.vmdk\n"},
      {{"create", "-s", "8M", "fifo.vmdk"}, "Failed to create file fifo.vmdk\n"},
      {{"clone", "a.vmdk", "sock.vmdk"}, "Failed to create file sock.vmdk\n"},
      {{"copy", "a.vmdk", "fifo.vmdk"}, "Failed to create file fifo.vmdk\n"},
      {{"copy", "-p", "a.vmdk", "fifo.vmdk"}, "Failed to create fifo.vmdk\n", "fifo-s001.vmdk"},
      // A character device opens: /dev/full takes the output and fails to store it.
      {{"copy", "a.vmdk", "/dev/full"}, "Failed to write file /dev/full\n"},
      {{"copy", "a.vmdk", "out.vmdk"}, "Failed to write file out.vmdk\n", "out.vmdk", "4"},
  };
  const auto before = snapshot(dir.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::vector<std::string> limited = {
        "-c", "ulimit -f " + std::string(c.fileLimit ? c.fileLimit : "") + " && exec \"$0\" \"$@\"",
        skarvelBinary()};
    limited.insert(limited.end(), c.args.begin(), c.args.end());
    RunResult run =
        c.fileLimit ? runProgram("sh", limited, dir.path()) : runSkarvel(c.args, dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(fs::is_fifo(dir.file("fifo.vmdk")));
    EXPECT_TRUE(fs::is_socket(dir.file("sock.vmdk")));
    if (!c.made.empty()) {
      EXPECT_TRUE(fs::remove(dir.file(c.made)));
    }
    EXPECT_EQ(snapshot(dir.path()), before);
  }
}

}  // namespace
}  // namespace skarvel::test
#endif
