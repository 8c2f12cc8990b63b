#include "reader/stream_footer.h"

#include "base/fatal_error.h"
#include "base/numbers.h"
#include "format/sparse_header.h"
#include "format/stream_marker.h"
#include "format/units.h"
#include "reader/vmdk_reader.h"

namespace skarvel {

uint64_t directoryFromFooter(int fd, const std::string& path, uint64_t firstSector) {
  const FatalError damaged("Failed to read file " + path);
  uint64_t sector = firstSector;
  for (;;) {
    uint8_t bytes[kMetadataMarkerBytes];
    // Every place a marker can start lies below 2^32 sectors, like everything
    // a table or directory entry names.
    if (sector >= kSectorLimit ||
        readAt(fd, path, sector * kSectorBytes, bytes, sizeof bytes) != sizeof bytes) {
      throw damaged;
    }
    StreamMarker marker = decodeMarker(bytes);
    if (!marker.isGrain()) {
      MarkerType type = static_cast<MarkerType>(marker.type);
      if (type == MarkerType::kFooter) break;
      // The end of the stream (or an all-zero sector) before the footer, or
      // a marker of no known type.
      if (type != MarkerType::kGrainTable && type != MarkerType::kGrainDirectory) throw damaged;
      if (marker.value >= kSectorLimit) throw damaged;
    }
    sector += sectorsToNextMarker(marker);
  }
  HeaderBytes footer{};
  if (readAt(fd, path, (sector + 1) * kSectorBytes, footer.data(),
             static_cast<uint32_t>(footer.size())) != footer.size()) {
    throw damaged;
  }
  SparseExtentHeader header = decodeHeader(footer);
  if (header.magicNumber != kSparseMagic || header.gdOffset == kDirectoryInFooter) throw damaged;
  return header.gdOffset;
}

}  // namespace skarvel
