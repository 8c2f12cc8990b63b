// Writes the seed corpus of both fuzz targets, made by the tests' image
// builder: small images of every kind the program reads, one or two files
// each, and their descriptor texts.
//
//   make_fuzz_corpus <directory>
//
// fills <directory>/descriptor and /commands, and makes the empty
// directories descriptor-found and commands-found for what a campaign adds.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "harness.h"
#include "image_builder.h"
#include "test_files.h"

namespace {

namespace fs = std::filesystem;
using skarvel::test::descriptorText;
using skarvel::test::ExtentFixture;

constexpr uint8_t kSplit = 1, kMerge = 2, kOneLevel = 4;

// The bytes of a sparse extent made by the builder.
std::string extentBytes(const fs::path& scratch, const ExtentFixture& fixture) {
  fs::path file = scratch / "extent";
  skarvel::test::writeSparseExtentFile(file.string(), fixture);
  return skarvel::test::readText(file.string());
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
      descriptorText(0x1234, 0xFFFFFFFF, "", "monolithicSparse", "RW 256 SPARSE \"a.vmdk\"\n");
  std::string split =
      descriptorText(0x2345, 0xFFFFFFFF, "", "twoGbMaxExtentSparse", "RW 256 SPARSE \"b.vmdk\"\n");
  std::string child =
      descriptorText(0x3456, 0x1234, "b.vmdk", "monolithicSparse", "RW 256 SPARSE \"a.vmdk\"\n");
  std::string empty = descriptorText(0x4567, 0xFFFFFFFF, "", "monolithicSparse", "");
  int n = 0;
  for (const std::string& text : {single, split, child, empty}) {
    save(descriptors, "text" + std::to_string(n++), text);
  }

  std::string monolithic = extentBytes(scratch, smallExtent(256, single));
  std::string root_ = extentBytes(scratch, smallExtent(256, single));
  std::string bare = extentBytes(scratch, smallExtent(256, ""));
  std::string childImage = extentBytes(scratch, smallExtent(256, child));
  struct Seed {
    const char* name;
    uint8_t options;
    std::string a, b;
  };
  const std::vector<Seed> seeds = {
      {"monolithic", 0, monolithic, ""}, {"monolithic-split", kSplit, monolithic, ""},
      {"split", 0, split, bare},         {"split-merge", kMerge, split, bare},
      {"chain", 0, childImage, root_},   {"chain-one-level", kOneLevel | kSplit, childImage, root_},
      {"no-extent-lines", 0, empty, ""}, {"bare-extent", 0, bare, ""},
  };
  for (const Seed& seed : seeds) {
    save(commands, seed.name, skarvel::fuzz::commandsInput(seed.options, seed.a, seed.b));
  }
  fs::remove_all(scratch);
  return 0;
}
