// Builds sparse extent files and descriptor files byte by byte, without the
// program's own format code, so that readers are never tested against the
// writers they share arithmetic with.
#ifndef SKARVEL_TESTS_SUPPORT_IMAGE_BUILDER_H_
#define SKARVEL_TESTS_SUPPORT_IMAGE_BUILDER_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "test_files.h"

namespace skarvel::test {

struct ExtentFixture {
  uint64_t capacity = 0;             // sectors, stored as given in the header
  std::string descriptor;            // embedded text at sector 1 (20 sectors); empty: none
  std::map<uint64_t, Bytes> grains;  // grain index -> data (up to 65536 bytes)
  uint32_t version = 1;
  uint64_t grainSize = 128;     // header grainSize
  uint32_t tableEntries = 512;  // header numGTEsPerGT (tables are laid out for 512)
  // When set, the file is cut to this many bytes after building.
  uint64_t truncateTo = 0;
  // Store grains in descending index order instead of ascending.
  bool reverseGrainOrder = false;
  uint32_t flags = 3;  // header flags (bit 2: zeroed grains)
  // Grains whose table entries are 1, stored as zeroed (version 2).
  std::set<uint64_t> zeroedGrains;
  // A stream-optimized file instead (version 3, flags 0x30001, zlib): each
  // grain compressed behind a grain marker, then every table and the
  // directory behind metadata markers, a footer and an end-of-stream marker.
  bool streamOptimized = false;
  // With streamOptimized: the header's gdOffset is all ones, so that only the
  // footer tells where the directory is.
  bool directoryInFooter = false;
};

// Where the builder put things, for tests that damage a file.
struct BuiltExtent {
  uint64_t gdOffset = 0;                     // sector of the primary directory
  uint64_t rgdOffset = 0;                    // sector of the redundant directory
  uint64_t overhead = 0;                     // sector of the first grain
  std::map<uint64_t, uint64_t> grainSector;  // grain index -> sector of its data (or marker)
};

// Writes a sparse extent: header (magic "KDMV"), optional descriptor area,
// redundant then primary directory each followed by its tables, padding to a
// multiple of 128 sectors, then the grains, each padded to a whole grain
// except a short last one.
BuiltExtent writeSparseExtentFile(const std::string& path, const ExtentFixture& fixture);

// A FLAT extent's file: |sectors| zero sectors with |grains| (index -> data)
// placed at index x 64 KiB, cut at the end of the file.
void writeFlatFile(const std::string& path, uint64_t sectors,
                   const std::map<uint64_t, Bytes>& grains);

// A minimal descriptor text for an image; parentHint empty means no parent.
std::string descriptorText(uint32_t cid, uint32_t parentCid, const std::string& parentHint,
                           const std::string& createType, const std::string& extentLines);

}  // namespace skarvel::test

#endif  // SKARVEL_TESTS_SUPPORT_IMAGE_BUILDER_H_
