// Reading images that qemu-img and qemu-io made: info on monolithic, split
// and child images, and grains written by qemu-io read back through the
// readers. Also checks the test image builder against the same peers, so
// that the fixtures of the other reader tests are images other tools accept.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "image_builder.h"
#include "platform/file.h"
#include "reader/chain_reader.h"
#include "reader/multi_file_reader.h"
#include "reader/open_image.h"
#include "run_tool.h"
#include "test_files.h"

namespace skarvel {
namespace {

using test::Bytes;
using test::RunResult;
using test::ScopedTempDir;

constexpr int kReadOnly = platform::kOpenBinary | platform::kOpenReadOnly;
constexpr uint64_t kGrain = 65536;

Bytes grainAt(VMDKReader& reader, uint64_t grain) {
  Bytes buffer(kGrain);
  buffer.resize(reader.readGrain(grain, buffer.data(), kGrain));
  return buffer;
}

class ReaderInteropTest : public ::testing::Test {
 protected:
  void run(const std::string& tool, const std::vector<std::string>& args) {
    RunResult result = test::runProgram(tool, args, dir_.path());
    ASSERT_EQ(result.status, 0) << tool << ": " << result.err << result.out;
  }
  // Fills |length| bytes at byte |offset| of the image with |fill|.
  void qemuWrite(const std::string& image, int fill, uint64_t offset, uint64_t length) {
    char command[96];
    std::snprintf(command, sizeof command, "write -P 0x%02x %llu %llu", fill,
                  static_cast<unsigned long long>(offset), static_cast<unsigned long long>(length));
    run("qemu-io", {"-f", "vmdk", "-c", command, image});
  }
  RunResult info(const std::string& image) {
    RunResult result = test::runSkarvel({"info", image}, dir_.path());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    return result;
  }

  ScopedTempDir dir_;
};

TEST_F(ReaderInteropTest, MonolithicImage) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  run("qemu-img", {"create", "-f", "vmdk", "mono.vmdk", "3G"});
  // 6291456 sectors: 49152 grains, 96 tables, one directory sector,
  // 1 + 20 + 2 x (1 + 384) = 791 metadata sectors rounded up to 896.
  RunResult result = info("mono.vmdk");
  EXPECT_NE(result.out.find("CreateType     : monolithicSparse\n"), std::string::npos);
  EXPECT_NE(result.out.find("Capacity       : 6291456 Sectors, 3 GBytes\n"
                            "Grains         : 49152 (65536 bytes each)\n"
                            "GrainTables    : 96\n"
                            "GrainDirSize   : 1\n"
                            "Overhead       : 896\n\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(result.out.find("Chained"), std::string::npos);

  qemuWrite("mono.vmdk", 0x5a, 1 * kGrain, kGrain);
  qemuWrite("mono.vmdk", 0x33, 7 * kGrain + 4096, 512);
  qemuWrite("mono.vmdk", 0xe1, 49151 * kGrain, kGrain);
  auto reader = openImage(dir_.file("mono.vmdk"), kReadOnly);
  EXPECT_TRUE(grainAt(*reader, 1) == test::grainOf(0x5a));
  EXPECT_TRUE(grainAt(*reader, 49151) == test::grainOf(0xe1));
  // A partly written grain is stored whole, zeros around the data.
  Bytes partial(kGrain, 0);
  std::fill(partial.begin() + 4096, partial.begin() + 4096 + 512, 0x33);
  EXPECT_TRUE(grainAt(*reader, 7) == partial);
  for (uint64_t grain : {0u, 2u, 6u, 8u, 49150u}) EXPECT_TRUE(grainAt(*reader, grain).empty());
}

TEST_F(ReaderInteropTest, SplitImage) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  run("qemu-img",
      {"create", "-f", "vmdk", "-o", "subformat=twoGbMaxExtentSparse", "split.vmdk", "5G"});
  RunResult result = info("split.vmdk");
  EXPECT_NE(result.out.find("CreateType     : twoGbMaxExtentSparse\n"), std::string::npos);
  EXPECT_NE(result.out.find("Capacity       : 10485760 Sectors, 5 GBytes\n"
                            "Grains         : 81920 (65536 bytes each)\n"),
            std::string::npos)
      << result.out;

  // The extents hold 4194304 sectors (32768 grains) each, the last one half.
  const struct {
    uint64_t grain;
    int fill;
  } writes[] = {{32767, 0x11}, {32768, 0x22}, {65536, 0x33}, {81919, 0x44}};
  for (const auto& w : writes) qemuWrite("split.vmdk", w.fill, w.grain * kGrain, kGrain);
  auto reader = openImage(dir_.file("split.vmdk"), kReadOnly);
  ASSERT_TRUE(reader->isMultiFile());
  EXPECT_EQ(static_cast<VMDKMultiFileReader&>(*reader).extents().size(), 3u);
  for (const auto& w : writes) {
    EXPECT_TRUE(grainAt(*reader, w.grain) == test::grainOf(static_cast<uint8_t>(w.fill)))
        << w.grain;
  }
  for (uint64_t grain : {0u, 32766u, 32769u, 65535u, 81920u}) {
    EXPECT_TRUE(grainAt(*reader, grain).empty()) << grain;
  }
}

TEST_F(ReaderInteropTest, ChildImage) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  run("qemu-img", {"create", "-f", "vmdk", "base.vmdk", "64M"});
  qemuWrite("base.vmdk", 0x11, 0, 2 * kGrain);
  run("qemu-img", {"create", "-f", "vmdk", "-b", "base.vmdk", "-F", "vmdk", "child.vmdk"});
  qemuWrite("child.vmdk", 0x22, 1 * kGrain, kGrain);
  qemuWrite("child.vmdk", 0x33, 2 * kGrain, kGrain);

  RunResult result = info("child.vmdk");
  EXPECT_NE(result.out.find("Capacity       : 131072 Sectors, 0 GBytes\n"
                            "Grains         : 1024 (65536 bytes each)\n"),
            std::string::npos)
      << result.out;
  std::string list = "\nChained VMDKs:\n000 child.vmdk\n001 base.vmdk\n\n";
  ASSERT_GE(result.out.size(), list.size());
  EXPECT_EQ(result.out.substr(result.out.size() - list.size()), list);

  std::unique_ptr<VMDKReader> child = openImage(dir_.file("child.vmdk"), kReadOnly);
  auto chain = openChain(child, dir_.file("child.vmdk"));
  ASSERT_NE(chain, nullptr);
  ASSERT_EQ(chain->readers().size(), 2u);
  EXPECT_TRUE(grainAt(*chain, 0) == test::grainOf(0x11));
  EXPECT_TRUE(grainAt(*chain, 1) == test::grainOf(0x22));
  EXPECT_TRUE(grainAt(*chain, 2) == test::grainOf(0x33));
  EXPECT_TRUE(grainAt(*chain, 3).empty());
}

TEST_F(ReaderInteropTest, BuilderImagesAreValidForOtherTools) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  // A monolithic image and a split image of two extents holding the same
  // grains; each converts to a raw disk with the grains at grain index x
  // 64 KiB and zeros elsewhere.
  std::map<uint64_t, Bytes> grains = {{0, test::grainOf(0x01)},
                                      {3, test::grainOf(0x77)},
                                      {511, test::grainOf(0x5f)},
                                      {512, test::grainOf(0x60)},
                                      {1023, test::grainOf(0xfe)}};
  test::ExtentFixture mono;
  mono.capacity = 131072;
  mono.grains = grains;
  mono.descriptor = test::descriptorText(0x10, 0xFFFFFFFF, "", "monolithicSparse",
                                         "RW 131072 SPARSE \"built.vmdk\"\n");
  test::writeSparseExtentFile(dir_.file("built.vmdk"), mono);
  test::ExtentFixture first, second;
  first.capacity = second.capacity = 65536;
  for (const auto& [index, data] : grains)
    (index < 512 ? first : second).grains[index % 512] = data;
  test::writeSparseExtentFile(dir_.file("split-s001.vmdk"), first);
  test::writeSparseExtentFile(dir_.file("split-s002.vmdk"), second);
  test::writeText(dir_.file("split.vmdk"),
                  test::descriptorText(0x20, 0xFFFFFFFF, "", "twoGbMaxExtentSparse",
                                       "RW 65536 SPARSE \"split-s001.vmdk\"\n"
                                       "RW 65536 SPARSE \"split-s002.vmdk\"\n"));

  for (const char* image : {"built.vmdk", "split.vmdk"}) {
    SCOPED_TRACE(image);
    run("qemu-img", {"check", "-f", "vmdk", image});
    run("qemu-img", {"convert", "-f", "vmdk", "-O", "raw", image, "out.raw"});
    Bytes raw = test::readBytes(dir_.file("out.raw"));
    ASSERT_EQ(raw.size(), 131072u * 512);
    for (uint64_t g = 0; g < 1024; ++g) {
      auto found = grains.find(g);
      Bytes expected = found != grains.end() ? found->second : Bytes(kGrain, 0);
      ASSERT_TRUE(std::equal(expected.begin(), expected.end(), raw.begin() + g * kGrain)) << g;
    }
  }
}

}  // namespace
}  // namespace skarvel
