// Reading a child through its chain of parents: which member answers for a
// grain, how setLevels limits the members and names the chain's parent, the
// child's disk with the root's fields, members of other capacities, where
// hints are looked up, and chains that loop.
#include "reader/chain_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/fatal_error.h"
#include "image_builder.h"
#include "platform/file.h"
#include "reader/open_image.h"
#include "test_files.h"

namespace skarvel {
namespace {

using test::Bytes;
using test::ExtentFixture;
using test::ScopedTempDir;

constexpr int kReadOnly = platform::kOpenBinary | platform::kOpenReadOnly;
constexpr uint32_t kNone = 0xFFFFFFFF;

// Fill byte of the grain delivered, -1 for nothing, -2 for mixed bytes.
int fillAt(VMDKReader& reader, uint64_t grain) {
  Bytes buffer(65536);
  buffer.resize(reader.readGrain(grain, buffer.data(), 65536));
  if (buffer.empty()) return -1;
  for (uint8_t b : buffer) {
    if (b != buffer[0]) return -2;
  }
  return buffer[0];
}

// A monolithic image with an embedded descriptor; |extraText| is appended to
// the descriptor and overrides what came before it.
void writeImage(const std::string& path, uint32_t cid, uint32_t parentCid, const std::string& hint,
                std::map<uint64_t, Bytes> grains, uint64_t capacity = 32768,
                const std::string& extraText = "") {
  ExtentFixture fixture;
  fixture.capacity = capacity;
  fixture.descriptor = test::descriptorText(cid, parentCid, hint, "monolithicSparse",
                                            "RW " + std::to_string(capacity) + " SPARSE \"x\"\n") +
                       extraText;
  fixture.grains = std::move(grains);
  test::writeSparseExtentFile(path, fixture);
}

std::unique_ptr<VMDKChainReader> chainOf(const std::string& path) {
  std::unique_ptr<VMDKReader> child = openImage(path, kReadOnly);
  return openChain(child, path);
}

std::string chainFailure(const std::string& path) {
  try {
    chainOf(path);
  } catch (const FatalError& error) {
    return error.what();
  }
  return "no failure";
}

class ChainReaderTest : public ::testing::Test {
 protected:
  // child -> middle -> root in one directory. The child's hint is spelled
  // with "./" so that the hint as stored differs from the path opened.
  void writeThreeLevels() {
    writeImage(dir_.file("child.vmdk"), 0x300, 0x200, "./middle.vmdk",
               {{0, test::grainOf(0xC0)}, {5, Bytes(1000, 0xC5)}});
    writeImage(dir_.file("middle.vmdk"), 0x200, 0x100, "root.vmdk",
               {{0, test::grainOf(0xB0)}, {1, test::grainOf(0xB1)}});
    writeImage(dir_.file("root.vmdk"), 0x100, kNone, "",
               {{0, test::grainOf(0xA0)},
                {1, test::grainOf(0xA1)},
                {2, test::grainOf(0xA2)},
                {5, test::grainOf(0xA5)}});
  }

  ScopedTempDir dir_;
};

TEST_F(ChainReaderTest, EachGrainComesFromTheNearestMemberHoldingIt) {
  writeThreeLevels();
  auto chain = chainOf(dir_.file("child.vmdk"));
  ASSERT_NE(chain, nullptr);
  ASSERT_EQ(chain->readers().size(), 3u);
  EXPECT_EQ(chain->readers()[0]->path(), dir_.file("child.vmdk"));
  EXPECT_EQ(chain->readers()[1]->path(), dir_.file("./middle.vmdk"));
  EXPECT_EQ(chain->readers()[2]->path(), dir_.file("./root.vmdk"));
  EXPECT_EQ(fillAt(*chain, 0), 0xC0);
  EXPECT_EQ(fillAt(*chain, 1), 0xB1);
  EXPECT_EQ(fillAt(*chain, 2), 0xA2);
  EXPECT_EQ(fillAt(*chain, 3), -1);
  // A short grain in the child still hides the root's whole one.
  Bytes buffer(65536);
  EXPECT_EQ(chain->readGrain(5, buffer.data(), 65536), 1000u);
  EXPECT_EQ(buffer[999], 0xC5);
}

TEST_F(ChainReaderTest, SetLevelsLimitsMembersAndNamesTheParent) {
  writeThreeLevels();
  auto chain = chainOf(dir_.file("child.vmdk"));
  ASSERT_NE(chain, nullptr);
  struct Case {
    int32_t levels;
    int fills[4];  // grains 0 to 3
    uint32_t parentCid;
    const char* hint;
  } cases[] = {
      {1, {0xC0, -1, -1, -1}, 0x200, "./middle.vmdk"},
      {2, {0xC0, 0xB1, -1, -1}, 0x100, "root.vmdk"},
      {3, {0xC0, 0xB1, 0xA2, -1}, kNone, ""},
      {1, {0xC0, -1, -1, -1}, 0x200, "./middle.vmdk"},
      {5, {0xC0, 0xB1, 0xA2, -1}, kNone, ""},
      {2, {0xC0, 0xB1, -1, -1}, 0x100, "root.vmdk"},
      {0, {-1, -1, -1, -1}, kNone, ""},
      {-1, {0xC0, 0xB1, 0xA2, -1}, kNone, ""},
      {-2, {-1, -1, -1, -1}, kNone, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.levels);
    chain->setLevels(c.levels);
    for (uint64_t grain = 0; grain < 4; ++grain) {
      EXPECT_EQ(fillAt(*chain, grain), c.fills[grain]) << "grain " << grain;
    }
    EXPECT_EQ(chain->descriptor().parentCID, c.parentCid);
    EXPECT_EQ(chain->descriptor().parentFileNameHint, c.hint);
    EXPECT_EQ(chain->descriptor().CID, 0x100u);  // the rest stays the root's
  }
}

TEST_F(ChainReaderTest, NoParentGivesNullAndLeavesTheChild) {
  struct Case {
    uint32_t parentCid;
    const char* hint;  // names no file: nothing may be opened
  } cases[] = {{kNone, "gone.vmdk"}, {0x1234, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.parentCid);
    writeImage(dir_.file("lone.vmdk"), 0x42, c.parentCid, c.hint, {{7, test::grainOf(0x77)}});
    std::unique_ptr<VMDKReader> child = openImage(dir_.file("lone.vmdk"), kReadOnly);
    EXPECT_EQ(openChain(child, dir_.file("lone.vmdk")), nullptr);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(fillAt(*child, 7), 0x77);
  }
}

TEST_F(ChainReaderTest, ReportsTheChildsDiskAndTheRootsFieldsWithoutAParent) {
  writeImage(dir_.file("child.vmdk"), 0x300, 0x100, "root.vmdk", {}, 65536);
  writeImage(dir_.file("root.vmdk"), 0x100, kNone, "", {}, 16384,
             "version=2\ncreateType=\"rootKind\"\n"
             "ddb.virtualHWVersion = \"7\"\nddb.adapterType = \"buslogic\"\n");
  auto chain = chainOf(dir_.file("child.vmdk"));
  ASSERT_NE(chain, nullptr);
  EXPECT_EQ(chain->capacity(), 65536u);
  EXPECT_EQ(chain->fileHandle(), -1);
  EXPECT_FALSE(chain->isMultiFile());
  // The child's 65536 sectors with a descriptor area: 512 grains, one table,
  // one directory sector, 1 + 20 + 2 x (1 + 4) = 31 sectors rounded up to 128.
  const SparseLayout& layout = chain->layout();
  EXPECT_EQ(layout.grainCount, 512u);
  EXPECT_EQ(layout.grainTableCount, 1u);
  EXPECT_EQ(layout.directorySectors, 1u);
  EXPECT_EQ(layout.descriptorSectors, 20u);
  EXPECT_EQ(layout.overhead, 128u);
  EXPECT_EQ(layout.totalGrains, 513u);
  const DiskDescriptor& d = chain->descriptor();
  EXPECT_EQ(d.version, 2);
  EXPECT_EQ(d.CID, 0x100u);
  EXPECT_EQ(d.createType, "rootKind");
  EXPECT_EQ(d.virtualHWVersion, 7);
  EXPECT_EQ(d.adapterType, "buslogic");
  EXPECT_EQ(d.parentCID, kNone);
  EXPECT_EQ(d.parentFileNameHint, "");
}

// child (32768 sectors) -> middle (16448 sectors: grain 128 ends after 64
// sectors) -> root (32768 sectors). The middle hides the root past its end.
TEST_F(ChainReaderTest, MembersShowNothingPastTheirCapacity) {
  writeImage(dir_.file("child.vmdk"), 3, 2, "middle.vmdk", {{250, test::grainOf(0xCA)}});
  writeImage(dir_.file("middle.vmdk"), 2, 1, "root.vmdk", {{127, test::grainOf(0xB7)}}, 16448);
  writeImage(dir_.file("root.vmdk"), 1, kNone, "",
             {{126, test::grainOf(0xA6)}, {128, test::grainOf(0xA8)}, {200, test::grainOf(0xAC)}});
  auto chain = chainOf(dir_.file("child.vmdk"));
  ASSERT_NE(chain, nullptr);
  EXPECT_EQ(chain->capacity(), 32768u);
  EXPECT_EQ(fillAt(*chain, 126), 0xA6);
  EXPECT_EQ(fillAt(*chain, 127), 0xB7);
  Bytes buffer(65536);
  EXPECT_EQ(chain->readGrain(128, buffer.data(), 65536), 64u * 512);  // cut at the middle's end
  EXPECT_EQ(buffer[64 * 512 - 1], 0xA8);
  // Past the middle's end: zeros that hide the root's grain.
  EXPECT_EQ(chain->readGrain(200, buffer.data(), 65536), kZeroedGrain);
  EXPECT_EQ(fillAt(*chain, 250), 0xCA);
}

TEST_F(ChainReaderTest, HintsResolveAgainstTheMemberThatRecordsThem) {
  // d/child.vmdk names sub/parent.vmdk, which names the root relative to
  // d/sub/. Resolving that second hint against the child's directory would
  // find the strangers instead.
  struct Case {
    const char* parentHint;
    const char* root;
    const char* stranger;
  } cases[] = {{"../root.vmdk", "d/root.vmdk", "root.vmdk"},
               {"root.vmdk", "d/sub/root.vmdk", "d/root.vmdk"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.parentHint);
    ScopedTempDir top;
    std::filesystem::create_directories(top.file("d/sub"));
    writeImage(top.file("d/child.vmdk"), 3, 2, "sub/parent.vmdk", {});
    writeImage(top.file("d/sub/parent.vmdk"), 2, 1, c.parentHint, {{1, test::grainOf(0xB1)}});
    writeImage(top.file(c.root), 1, kNone, "", {{2, test::grainOf(0xA2)}});
    writeImage(top.file(c.stranger), 9, kNone, "", {{2, test::grainOf(0x99)}});
    auto chain = chainOf(top.file("d/child.vmdk"));
    ASSERT_NE(chain, nullptr);
    ASSERT_EQ(chain->readers().size(), 3u);
    EXPECT_EQ(chain->readers()[1]->path(), top.file("d/sub/parent.vmdk"));
    EXPECT_EQ(chain->readers()[2]->path(), top.file("d/sub/") + c.parentHint);
    EXPECT_EQ(chain->descriptor().CID, 1u);
    EXPECT_EQ(fillAt(*chain, 1), 0xB1);
    EXPECT_EQ(fillAt(*chain, 2), 0xA2);
  }
}

TEST_F(ChainReaderTest, AbsoluteHintsAreOpenedUnchanged) {
  for (const char* sub : {"a", "b", "c"}) std::filesystem::create_directory(dir_.file(sub));
  writeImage(dir_.file("a/child.vmdk"), 3, 2, dir_.file("b/middle.vmdk"), {});
  writeImage(dir_.file("b/middle.vmdk"), 2, 1, dir_.file("c/root.vmdk"), {});
  writeImage(dir_.file("c/root.vmdk"), 1, kNone, "", {{4, test::grainOf(0x44)}});
  auto chain = chainOf(dir_.file("a/child.vmdk"));
  ASSERT_NE(chain, nullptr);
  ASSERT_EQ(chain->readers().size(), 3u);
  EXPECT_EQ(chain->readers()[2]->path(), dir_.file("c/root.vmdk"));
  EXPECT_EQ(fillAt(*chain, 4), 0x44);
}

TEST_F(ChainReaderTest, LoopsEndTheWalk) {
  writeImage(dir_.file("a.vmdk"), 1, 2, "b.vmdk", {});
  writeImage(dir_.file("b.vmdk"), 2, 1, "a.vmdk", {});
  EXPECT_EQ(chainFailure(dir_.file("a.vmdk")), "Parent chain loops back to " + dir_.file("a.vmdk"));
  // A loop that returns to the middle of the chain.
  writeImage(dir_.file("c.vmdk"), 3, 2, "b.vmdk", {});
  writeImage(dir_.file("a.vmdk"), 1, 3, "c.vmdk", {});
  writeImage(dir_.file("b.vmdk"), 2, 3, "c.vmdk", {});
  EXPECT_EQ(chainFailure(dir_.file("a.vmdk")), "Parent chain loops back to " + dir_.file("c.vmdk"));

  // A file that names itself, under its own name, another spelling, or a
  // link: the same file whatever the text.
  std::vector<std::string> hints = {"self.vmdk", "./self.vmdk"};
#ifndef _WIN32  // symbolic links need a privilege there
  std::filesystem::create_symlink("self.vmdk", dir_.file("link.vmdk"));
  hints.push_back("link.vmdk");
#endif
  for (const std::string& hint : hints) {
    SCOPED_TRACE(hint);
    writeImage(dir_.file("self.vmdk"), 1, 1, hint, {});
    EXPECT_EQ(chainFailure(dir_.file("self.vmdk")),
              "Parent chain loops back to " + dir_.file(hint));
  }
}

TEST_F(ChainReaderTest, MissingParentFails) {
  writeImage(dir_.file("child.vmdk"), 2, 1, "middle.vmdk", {});
  writeImage(dir_.file("middle.vmdk"), 1, 0, "gone.vmdk", {});
  EXPECT_EQ(chainFailure(dir_.file("child.vmdk")), "Failed to open " + dir_.file("gone.vmdk"));
}

TEST_F(ChainReaderTest, IsMultiFileFollowsTheChild) {
  ExtentFixture extent;
  extent.capacity = 32768;
  extent.grains = {{0, test::grainOf(0xC0)}};
  test::writeSparseExtentFile(dir_.file("split-s001.vmdk"), extent);
  test::writeText(dir_.file("split.vmdk"),
                  test::descriptorText(2, 1, "root.vmdk", "twoGbMaxExtentSparse",
                                       "RW 32768 SPARSE \"split-s001.vmdk\"\n"));
  writeImage(dir_.file("root.vmdk"), 1, kNone, "", {{1, test::grainOf(0xA1)}});
  auto chain = chainOf(dir_.file("split.vmdk"));
  ASSERT_NE(chain, nullptr);
  EXPECT_TRUE(chain->isMultiFile());
  EXPECT_EQ(fillAt(*chain, 0), 0xC0);
  EXPECT_EQ(fillAt(*chain, 1), 0xA1);
}

}  // namespace
}  // namespace skarvel
