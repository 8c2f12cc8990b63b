// Writes the seed corpus of both fuzz targets, made by the tests' image
// builder: small images of every kind the program reads, one or two files
// each, extents with crafted overlaps, and their descriptor texts.
//
//   make_fuzz_corpus <directory>
//
// fills <directory>/descriptor and /commands, and makes the empty
// directories descriptor-found and commands-found for what a campaign adds.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "harness.h"
#include "image_builder.h"
#include "test_files.h"

namespace {

namespace fs = std::filesystem;
using skarvel::test::BuiltExtent;
using skarvel::test::descriptorText;
using skarvel::test::ExtentFixture;

constexpr uint8_t kSplit = 1, kMerge = 2, kOneLevel = 4;

// The 4-byte little-endian word |index| of sector |sector| of |bytes|.
uint32_t wordOf(const std::string& bytes, uint64_t sector, uint64_t index) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<uint8_t>(bytes.at(sector * 512 + index * 4 + i));
  }
  return value;
}

void setWord(std::string& bytes, uint64_t sector, uint64_t index, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes.at(sector * 512 + index * 4 + i) = static_cast<char>(value >> (8 * i));
  }
}

// |bytes| of a builder's extent with its grains moved down to follow the
// last primary table, which the builder lays out last: the padding to 128
// sectors goes, so that a small image fits the first file of an input
// (less than 64 KiB). Entries of 0 and 1 (zeroed) stay.
std::string compacted(std::string bytes, const BuiltExtent& built, uint64_t tables) {
  constexpr uint64_t kTableSectors = 4, kOverheadWord = 64 / 4;  // header bytes 64-71
  uint64_t end = 0;
  for (uint64_t t = 0; t < tables; ++t) {
    end = std::max<uint64_t>(end, wordOf(bytes, built.gdOffset, t) + kTableSectors);
  }
  const uint32_t shift = static_cast<uint32_t>(built.overhead - end);
  for (uint64_t directory : {built.gdOffset, built.rgdOffset}) {
    for (uint64_t t = 0; t < tables; ++t) {
      for (uint64_t e = 0; e < 512; ++e) {
        uint32_t entry = wordOf(bytes, wordOf(bytes, directory, t), e);
        if (entry > 1) setWord(bytes, wordOf(bytes, directory, t), e, entry - shift);
      }
    }
  }
  setWord(bytes, 0, kOverheadWord, static_cast<uint32_t>(end));
  bytes.erase(end * 512, shift * uint64_t{512});
  return bytes;
}

// The bytes of a sparse extent made by the builder, compacted.
std::string extentBytes(const fs::path& scratch, const ExtentFixture& fixture) {
  fs::path file = scratch / "extent";
  BuiltExtent built = skarvel::test::writeSparseExtentFile(file.string(), fixture);
  uint64_t tables = (fixture.capacity / 128 + 511) / 512;
  return compacted(skarvel::test::readText(file.string()), built, tables);
}

ExtentFixture smallExtent(uint64_t capacity, const std::string& descriptor) {
  ExtentFixture fixture;
  fixture.capacity = capacity;
  fixture.descriptor = descriptor;
  fixture.grains[0] = skarvel::test::Bytes(512, 0x11);  // a short grain keeps the file small
  return fixture;
}

void save(const fs::path& directory, const std::string& name, const std::string& bytes) {
  std::ofstream(directory / name, std::ios::binary) << bytes;
}

// Extents of two grain tables (64 MiB) with data in grains 0 and 512, each
// with one overlap of the kind that repairs and in-place writers must not
// make worse: a table on a grain, a directory entry into a grain, two tables
// in one place, a table lost from both directories, a grain on a table, a
// directory inside a grain. Named by a descriptor, so that the extent may be
// larger than the first file of an input.
std::map<std::string, std::string> overlappingExtents(const fs::path& scratch) {
  ExtentFixture fixture;
  fixture.capacity = 131072;
  fixture.grains[0] = skarvel::test::Bytes(65536, 0x11);
  fixture.grains[512] = skarvel::test::Bytes(512, 0x22);
  fs::path file = scratch / "extent";
  BuiltExtent built = skarvel::test::writeSparseExtentFile(file.string(), fixture);
  const std::string base = skarvel::test::readText(file.string());
  const uint64_t gd = built.gdOffset, rgd = built.rgdOffset;
  const uint32_t grain0 = static_cast<uint32_t>(built.grainSector.at(0));
  const uint32_t table1 = wordOf(base, gd, 1);
  const uint64_t kGdOffsetWord = 56 / 4;  // header bytes 56-63, the high word 0
  std::map<std::string, std::string> extents;
  auto variant = [&](const std::string& name, auto change) {
    std::string bytes = base;
    change(bytes);
    extents[name] = bytes;
  };
  variant("table-on-grain", [&](std::string& b) { setWord(b, gd, 1, grain0 + 1); });
  variant("redundant-table-on-grain", [&](std::string& b) { setWord(b, rgd, 1, grain0 + 2); });
  variant("tables-in-one-place", [&](std::string& b) { setWord(b, gd, 1, wordOf(b, gd, 0)); });
  variant("table-lost-from-both", [&](std::string& b) {
    setWord(b, gd, 1, 0);
    setWord(b, rgd, 1, 0);
  });
  variant("grain-on-table", [&](std::string& b) {
    setWord(b, wordOf(b, gd, 0), 1, table1);
    setWord(b, wordOf(b, rgd, 0), 1, table1);
  });
  variant("directory-in-grain", [&](std::string& b) { setWord(b, 0, kGdOffsetWord, grain0 + 4); });
  return extents;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_fuzz_corpus <directory>\n";
    return 1;
  }
  fs::path root = argv[1], descriptors = root / "descriptor", commands = root / "commands";
  for (const char* sub : {"descriptor", "commands", "descriptor-found", "commands-found"}) {
    fs::create_directories(root / sub);
  }
  fs::path scratch = root / "scratch";
  fs::create_directories(scratch);

  std::string single =
      descriptorText(0x1234, 0xFFFFFFFF, "", "monolithicSparse", "RW 16384 SPARSE \"a.vmdk\"\n");
  std::string split =
      descriptorText(0x2345, 0xFFFFFFFF, "", "twoGbMaxExtentSparse", "RW 256 SPARSE \"b.vmdk\"\n");
  std::string child =
      descriptorText(0x3456, 0x1234, "b.vmdk", "monolithicSparse", "RW 16384 SPARSE \"a.vmdk\"\n");
  std::string empty = descriptorText(0x4567, 0xFFFFFFFF, "", "monolithicSparse", "");
  int n = 0;
  for (const std::string& text : {single, split, child, empty}) {
    save(descriptors, "text" + std::to_string(n++), text);
  }

  std::string monolithic = extentBytes(scratch, smallExtent(16384, single));
  // A root larger than its child, with data where the child holds none:
  // within the child's capacity (grain 100), which rebase onto the root must
  // keep out of view, and past it (grain 200), which grow of the child must
  // hide.
  std::string rootText =
      descriptorText(0x1234, 0xFFFFFFFF, "", "monolithicSparse", "RW 32768 SPARSE \"b.vmdk\"\n");
  ExtentFixture rootFixture = smallExtent(32768, rootText);
  rootFixture.grains[100] = skarvel::test::Bytes(512, 0x33);
  rootFixture.grains[200] = skarvel::test::Bytes(512, 0x44);
  std::string root_ = extentBytes(scratch, rootFixture);
  std::string bare = extentBytes(scratch, smallExtent(256, ""));
  std::string childImage = extentBytes(scratch, smallExtent(16384, child));
  struct Seed {
    const char* name;
    uint8_t options;
    std::string a, b;
  };
  const std::vector<Seed> seeds = {
      {"monolithic", 0, monolithic, ""},
      {"monolithic-split", kSplit, monolithic, ""},
      {"split", 0, split, bare},
      {"split-merge", kMerge, split, bare},
      {"chain", 0, childImage, root_},
      {"chain-one-level", kOneLevel | kSplit, childImage, root_},
      {"no-extent-lines", 0, empty, ""},
      {"bare-extent", 0, bare, ""},
      {"two-roots", 0, monolithic, root_},
  };
  for (const Seed& seed : seeds) {
    save(commands, seed.name, skarvel::fuzz::commandsInput(seed.options, seed.a, seed.b));
  }
  std::string overlapping = descriptorText(0x5678, 0xFFFFFFFF, "", "twoGbMaxExtentSparse",
                                           "RW 131072 SPARSE \"b.vmdk\"\n");
  for (const auto& [name, extent] : overlappingExtents(scratch)) {
    save(commands, "overlap-" + name, skarvel::fuzz::commandsInput(0, overlapping, extent));
  }
  fs::remove_all(scratch);
  return 0;
}
