// Images made by create and by the writers, checked by other tools: they
// must pass a consistency check, report their virtual size, open in a
// second reader, and read back exactly the data the writers were given.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "format/sparse_layout.h"
#include "run_tool.h"
#include "test_files.h"
#include "writer/output_image.h"

namespace skarvel {
namespace {

using test::Bytes;
using test::runProgram;

constexpr uint64_t kGrain = 65536;

// A grain whose bytes differ from position to position and from seed to
// seed, so that data shifted within a grain or swapped between grains shows.
Bytes pattern(uint32_t seed) {
  Bytes bytes(kGrain);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed * 31 + 1);
  return bytes;
}

// The number qemu-img info gives as the virtual size, or 0.
uint64_t virtualSize(const std::string& dir, const std::string& image) {
  test::RunResult info =
      runProgram("qemu-img", {"info", "--output=json", "-f", "vmdk", image}, dir);
  EXPECT_EQ(info.status, 0) << info.err;
  size_t at = info.out.find("\"virtual-size\":");
  if (at == std::string::npos) return 0;
  return std::stoull(info.out.substr(at + 15));
}

void expectPeersAccept(const std::string& dir, const std::string& image) {
  test::RunResult check = runProgram("qemu-img", {"check", "-f", "vmdk", image}, dir);
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  EXPECT_NE(check.out.find("No errors were found on the image."), std::string::npos) << check.out;
  test::RunResult info = runProgram("vmdkinfo", {image}, dir);
  EXPECT_EQ(info.status, 0) << info.out << info.err;
}

TEST(WriterInteropTest, EveryKindOfCreatedImageChecksClean) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("vmdkinfo");
  struct CreateCase {
    std::vector<std::string> options;
    uint64_t bytes;
  };
  const CreateCase cases[] = {
      {{"-s", "8M"}, 8ull << 20},
      {{"-s", "10G"}, 10ull << 30},
      {{"-p", "-s", "10G"}, 10ull << 30},
      {{"-p", "-s", "2048M"}, 2048ull << 20},
      {{"-t", "streamOptimized", "-s", "10G"}, 10ull << 30},
      {{"-t", "monolithicFlat", "-s", "8M"}, 8ull << 20},
      {{"-t", "twoGbMaxExtentFlat", "-s", "2048M"}, 2048ull << 20},
  };
  for (const CreateCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.options));
    test::ScopedTempDir dir;
    std::vector<std::string> args = {"create"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back("disk.vmdk");
    ASSERT_EQ(test::runSkarvel(args, dir.path()).status, 0);
    expectPeersAccept(dir.path(), "disk.vmdk");
    EXPECT_EQ(virtualSize(dir.path(), "disk.vmdk"), c.bytes);
  }
}

class WriterRoundTripTest : public ::testing::Test {
 protected:
  // Writes |grains| (index, bytes possibly short) in list order through
  // the writer of a new image, and the same data into a sparse raw file of
  // the same size, zero everywhere else.
  void writeBoth(bool split, uint64_t capacity,
                 const std::vector<std::pair<uint64_t, Bytes>>& grains) {
    OutputImage output(dir_.file("out.vmdk"), computeLayout(capacity, 1), DiskDescriptor());
    auto writer = split ? output.createSplit(true) : output.createSingleFile(true);
    std::ofstream raw(dir_.file("expected.raw"), std::ios::binary | std::ios::trunc);
    for (const auto& [index, data] : grains) {
      writer->writeGrain(index, data.data(), static_cast<uint32_t>(data.size()));
      if (index * 128 >= capacity) continue;  // past the disk: dropped by the writer
      raw.seekp(static_cast<std::streamoff>(index * kGrain));
      raw.write(reinterpret_cast<const char*>(data.data()),
                static_cast<std::streamsize>(std::min<uint64_t>(data.size(), kGrain)));
    }
    writer->close();
    raw.close();
    std::filesystem::resize_file(dir_.file("expected.raw"), capacity * 512);
  }

  test::RunResult compare() {
    return runProgram("qemu-img",
                      {"compare", "-f", "vmdk", "-F", "raw", "out.vmdk", "expected.raw"},
                      dir_.path());
  }

  // Flips one byte of the expected raw file at |offset|.
  void damageExpected(uint64_t offset) {
    std::fstream raw(dir_.file("expected.raw"), std::ios::binary | std::ios::in | std::ios::out);
    raw.seekg(static_cast<std::streamoff>(offset));
    char byte = static_cast<char>(raw.get());
    raw.seekp(static_cast<std::streamoff>(offset));
    raw.put(static_cast<char>(byte ^ 0x01));
  }

  test::ScopedTempDir dir_;
};

TEST_F(WriterRoundTripTest, SingleFileReadsBackExactly) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("vmdkinfo");
  // 64 MiB: 1024 grains in two tables. Grains go in out of index order; the
  // last one is short, and a grain longer than 64 KiB keeps only 64 KiB.
  Bytes shortGrain = pattern(4);
  shortGrain.resize(1000);
  Bytes longGrain = pattern(5);
  longGrain.resize(kGrain + 300, 0xEE);
  std::vector<std::pair<uint64_t, Bytes>> grains = {
      {600, pattern(1)}, {0, pattern(2)}, {511, pattern(3)}, {1023, shortGrain}, {512, longGrain}};
  writeBoth(false, 131072, grains);
  expectPeersAccept(dir_.path(), "out.vmdk");
  test::RunResult same = compare();
  EXPECT_EQ(same.status, 0) << same.out << same.err;

  // The comparison does see a difference in the short grain's zero fill.
  damageExpected(1023 * kGrain + 2000);
  EXPECT_EQ(compare().status, 1);
}

TEST_F(WriterRoundTripTest, SplitImageReadsBackExactly) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("vmdkinfo");
  // 2048 MiB: extent 1 holds grains 0..32751, extent 2 grains 32752..32767.
  // The raw file is sparse, so only the written grains take space.
  Bytes shortGrain = pattern(14);
  shortGrain.resize(4096);
  std::vector<std::pair<uint64_t, Bytes>> grains = {{32752, pattern(11)},
                                                    {5, pattern(12)},
                                                    {32751, pattern(13)},
                                                    {32767, shortGrain},
                                                    {32768, pattern(15)}};
  writeBoth(true, 4194304, grains);
  expectPeersAccept(dir_.path(), "out.vmdk");
  test::RunResult same = compare();
  EXPECT_EQ(same.status, 0) << same.out << same.err;

  damageExpected(32752 * kGrain + 100);
  EXPECT_EQ(compare().status, 1);
}

}  // namespace
}  // namespace skarvel
