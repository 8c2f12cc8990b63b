// The markers of a stream-optimized extent (flag bits 16 and 17).
//
// Such a file can be written and read front to back: after the header's
// overhead, every grain and every piece of metadata is announced by a marker
// that starts a sector.
//
//   grain marker      0  8  lba         first sector of the grain in the disk
//                     8  4  size        bytes of the zlib stream from byte 12
//   metadata marker   0  8  numSectors  sectors of metadata from the next sector
//                     8  4  0           (what tells it from a grain marker)
//                    12  4  type        0 end of stream, 1 grain table,
//                                       2 grain directory, 3 footer
//
// A grain table entry points to the grain's marker. A metadata marker fills
// its sector; the footer is one sector holding a copy of the header with the
// real gdOffset.
#ifndef SKARVEL_FORMAT_STREAM_MARKER_H_
#define SKARVEL_FORMAT_STREAM_MARKER_H_

#include <cstdint>

#include "base/byte_order.h"
#include "base/numbers.h"
#include "format/units.h"

namespace skarvel {

constexpr uint32_t kGrainMarkerBytes = 8 + 4;
constexpr uint32_t kMetadataMarkerBytes = 8 + 4 + 4;

enum class MarkerType : uint32_t {
  kEndOfStream = 0,
  kGrainTable = 1,
  kGrainDirectory = 2,
  kFooter = 3,
};

struct StreamMarker {
  uint64_t value = 0;  // grain marker: lba; metadata marker: numSectors
  uint32_t size = 0;   // grain marker: compressed bytes; metadata marker: 0
  uint32_t type = 0;   // metadata marker only

  bool isGrain() const { return size != 0; }
};

// Decodes the grain marker in the kGrainMarkerBytes bytes at |bytes|.
inline StreamMarker decodeGrainMarker(const uint8_t* bytes) {
  StreamMarker marker;
  marker.value = getLittleEndian64(bytes);
  marker.size = getLittleEndian32(bytes + 8);
  return marker;
}

// Decodes the marker of either kind in the kMetadataMarkerBytes bytes at
// |bytes|.
inline StreamMarker decodeMarker(const uint8_t* bytes) {
  StreamMarker marker = decodeGrainMarker(bytes);
  marker.type = getLittleEndian32(bytes + 12);
  return marker;
}

// Sectors from the start of |marker| to the next marker: a metadata marker
// fills its sector and its numSectors follow; a grain marker and its stream
// are padded to whole sectors. In 64 bits, so that a length near 2^32 cannot
// wrap to a step of no sectors.
inline uint64_t sectorsToNextMarker(const StreamMarker& marker) {
  if (!marker.isGrain()) return 1 + marker.value;
  return divideRoundingUp(uint64_t{kGrainMarkerBytes} + marker.size, kSectorBytes);
}

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_STREAM_MARKER_H_
