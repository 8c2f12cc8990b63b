#include "reader/flat_extent_reader.h"

#include <algorithm>

#include "base/fatal_error.h"
#include "base/zeros.h"
#include "platform/file.h"

namespace skarvel {

namespace {

// Sectors whose byte offsets a signed 64-bit file position reaches.
constexpr uint64_t kPositionableSectors = (uint64_t{1} << 63) / kSectorBytes;

}  // namespace

VMDKFlatExtentReader::VMDKFlatExtentReader(int fd, const std::string& path, uint64_t sizeSectors,
                                           uint64_t offsetSectors)
    : VMDKReader(fd, path), offsetSectors_(offsetSectors) {
  // The extent, and the whole grain its last one may round up to, must lie
  // below that.
  constexpr uint64_t kLimit = kPositionableSectors - kGrainSectors;
  if (offsetSectors > kLimit || sizeSectors > kLimit - offsetSectors) {
    throw FatalError("Unsupported extent file " + path_);
  }
  capacity_ = sizeSectors;
  layout_ = computeLayout(capacity_, 0);
  if (!platform::readableLength(fd_, &fileBytes_)) {
    throw FatalError("Failed to read file " + path_);
  }
  // A file without holes is one run of data; the grains are read and
  // their zeros found as ever.
  if (platform::allocatedThroughout(fd_)) dataEnd_ = platform::kNoDataAfter;
}

uint32_t VMDKFlatExtentReader::readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) {
  if (grain >= layout_.grainCount) return 0;
  uint32_t wanted = static_cast<uint32_t>(std::min<uint64_t>(grainBytesAt(grain), length));
  uint64_t at = fileOffsetOf(grain);
  if (failOnMissing_ && (at >= fileBytes_ || wanted > fileBytes_ - at)) {
    throw FatalError("Failed to read file " + path_);
  }
  // A file far shorter than its extent line says costs no read per grain.
  if (at >= fileBytes_) return kZeroedGrain;
  uint32_t n = readAt(fd_, path_, at, buffer, wanted);
  // Zeros, and sectors the file does not reach, read as zeros and hide any
  // parent: a flat extent holds every sector of its part of the disk.
  bool allZero = allZeros(buffer, n);
  return allZero ? kZeroedGrain : n;
}

bool VMDKFlatExtentReader::placeOfGrain(uint64_t grain, GrainPlace* place) {
  if (grain >= layout_.grainCount) return false;
  uint64_t grainBytes = grainBytesAt(grain);
  uint64_t at = fileOffsetOf(grain);
  if (at >= fileBytes_ || grainBytes > fileBytes_ - at) return false;
  *place = GrainPlace{fd_, &path_, at, static_cast<uint32_t>(grainBytes)};
  return true;
}

uint64_t VMDKFlatExtentReader::nextGrainWithData(uint64_t grain) {
  if (grain >= layout_.grainCount) return grain;
  uint64_t at = fileOffsetOf(grain);
  if (at >= fileBytes_) return layout_.grainCount;
  if (at >= dataBegin_ && at < dataEnd_) return grain;
  uint64_t begin = 0, end = 0;
  if (!platform::findData(fd_, at, &begin, &end)) return grain;
  if (begin >= fileBytes_) return layout_.grainCount;
  dataBegin_ = begin;
  dataEnd_ = end;
  // The grain that holds byte |begin|: the grains before it lie in a hole.
  uint64_t holding = (begin / kSectorBytes - offsetSectors_) / kGrainSectors;
  return std::min(std::max(grain, holding), layout_.grainCount);
}

uint64_t VMDKFlatExtentReader::fileOffsetOf(uint64_t grain) const {
  return (offsetSectors_ + grain * kGrainSectors) * kSectorBytes;
}

}  // namespace skarvel
