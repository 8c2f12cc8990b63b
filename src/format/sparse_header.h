// The header of a sparse extent file: sector 0, of which the first 77 bytes
// carry fields and the rest is zero.
//
// Byte layout (all integers little-endian):
//    0  4  magicNumber        "KDMV" (0x564D444B)
//    4  4  version            1 (2: zeroed grains may occur; 3: stream-optimized)
//    8  4  flags              bit 0: bytes 73-76 valid; bit 1: redundant directory;
//                             bit 2: a table entry of 1 is a zeroed grain;
//                             bit 16: grains compressed; bit 17: markers
//   12  8  capacity           virtual size in sectors
//   20  8  grainSize          sectors per grain (128)
//   28  8  descriptorOffset   sector of the embedded descriptor, 0 when none
//   36  8  descriptorSize     sectors of the embedded descriptor
//   44  4  numGTEsPerGT       entries per grain table (512)
//   48  8  rgdOffset          sector of the redundant grain directory
//   56  8  gdOffset           sector of the primary grain directory; all ones:
//                             given by the footer, a copy of the header at the end
//   64  8  overHead           sector of the first grain
//   72  1  uncleanShutdown
//   73  4  "\n \r\n"          line-end check characters
//   77  2  compressAlgorithm  1: zlib (read, never written by this program)
#ifndef SKARVEL_FORMAT_SPARSE_HEADER_H_
#define SKARVEL_FORMAT_SPARSE_HEADER_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/byte_order.h"

namespace skarvel {

constexpr uint32_t kSparseMagic = 0x564D444B;  // the bytes 'K' 'D' 'M' 'V' in file order
constexpr uint32_t kSparseVersion = 1;         // the version this program writes
constexpr uint32_t kNewestReadVersion = 3;     // versions 1 to 3 are read
constexpr uint32_t kHeaderFlagValidNewlines = 1u << 0;
constexpr uint32_t kHeaderFlagRedundantDirectory = 1u << 1;
constexpr uint32_t kHeaderFlagZeroedGrains = 1u << 2;
constexpr uint32_t kHeaderFlagCompressedGrains = 1u << 16;
constexpr uint32_t kHeaderFlagMarkers = 1u << 17;

// A grain table entry of 1, with kHeaderFlagZeroedGrains set, stands for a
// grain that reads as zeros and hides whatever a parent holds there. No
// grain can start at sector 1: grains follow the header and the metadata.
constexpr uint32_t kZeroedGrainEntry = 1;

// The 2-byte compressAlgorithm field follows the record; 1 is zlib (deflate).
constexpr uint64_t kCompressAlgorithmOffset = 77;
constexpr uint16_t kCompressDeflate = 1;

// The byte of the header record that is 1 while a writer has the extent
// open and 0 once it has closed it cleanly.
constexpr uint64_t kUncleanShutdownOffset = 72;

// gdOffset of a stream whose directory is written after the grains: the
// footer, a copy of the header near the end of the file, holds the real one.
constexpr uint64_t kDirectoryInFooter = ~uint64_t{0};

// Bytes of the header record: 3 x 4 + 4 x 8 + 4 + 3 x 8 + 5 x 1.
constexpr size_t kHeaderRecordBytes = 3 * 4 + 4 * 8 + 4 + 3 * 8 + 5 * 1;
static_assert(kHeaderRecordBytes == 77, "the header record is bytes 0-76 of sector 0");

struct SparseExtentHeader {
  uint32_t magicNumber = 0;
  uint32_t version = 0;
  uint32_t flags = 0;
  uint64_t capacity = 0;
  uint64_t grainSize = 0;
  uint64_t descriptorOffset = 0;
  uint64_t descriptorSize = 0;
  uint32_t numGTEsPerGT = 0;
  uint64_t rgdOffset = 0;
  uint64_t gdOffset = 0;
  uint64_t overHead = 0;
  uint8_t uncleanShutdown = 0;
  uint8_t singleEndLineChar = 0;
  uint8_t nonEndLineChar = 0;
  uint8_t doubleEndLineChar1 = 0;
  uint8_t doubleEndLineChar2 = 0;

  // True when the header announces an embedded descriptor.
  bool hasEmbeddedDescriptor() const { return descriptorOffset != 0 && descriptorSize != 0; }

  bool operator==(const SparseExtentHeader&) const = default;
};

using HeaderBytes = std::array<uint8_t, kHeaderRecordBytes>;

HeaderBytes encodeHeader(const SparseExtentHeader& header);
SparseExtentHeader decodeHeader(const HeaderBytes& bytes);

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_SPARSE_HEADER_H_
