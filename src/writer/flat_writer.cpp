#include "writer/flat_writer.h"

#include <algorithm>

#include "base/fatal_error.h"
#include "platform/file.h"

namespace skarvel {

namespace {

// Consecutive grains are gathered up to this many bytes before they go out
// in one write.
constexpr size_t kGatherBytes = 16 * kGrainBytes;
// Grains the system copies from consecutive places to consecutive places go
// in one request of up to this many bytes.
constexpr uint64_t kCopyBytes = 256 * kGrainBytes;

}  // namespace

VMDKFlatWriter::VMDKFlatWriter(int fd, const std::string& path, const SparseLayout& layout,
                               const std::string& directory, const SplitExtents& extents)
    : VMDKWriter(fd, path, layout), directory_(directory), extents_(extents) {
  gathered_.reserve(kGatherBytes);
}

VMDKFlatWriter::~VMDKFlatWriter() {
  try {
    flush();
    flushCopy();
  } catch (const FatalError&) {
  }
  if (extentFd_ >= 0) platform::closeFile(extentFd_);
}

void VMDKFlatWriter::writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) {
  if (grain >= layout_.grainCount) return;
  uint64_t offset = offsetInExtent(grain);
  flushCopy();
  size_t stored = std::min<size_t>(length, kGrainBytes);
  if (!gathered_.empty() &&
      (gatheredOffset_ + gathered_.size() != offset || gathered_.size() + stored > kGatherBytes)) {
    flush();
  }
  if (gathered_.empty()) gatheredOffset_ = offset;
  gathered_.insert(gathered_.end(), data, data + stored);
}

bool VMDKFlatWriter::copiesGrainPlaces() const { return platform::copiesInside(); }

void VMDKFlatWriter::copyGrain(uint64_t grain, const GrainPlace& place) {
  if (grain >= layout_.grainCount) return;
  uint64_t offset = offsetInExtent(grain);
  flush();
  uint32_t stored = std::min<uint32_t>(place.length, kGrainBytes);
  bool follows = copying_.fd == place.fd && copying_.offset + copyLength_ == place.offset &&
                 copyTo_ + copyLength_ == offset && copyLength_ + stored <= kCopyBytes;
  if (!follows) flushCopy();
  if (copyLength_ == 0) {
    copying_ = place;
    copyTo_ = offset;
  }
  copyLength_ += stored;
}

void VMDKFlatWriter::close() {
  closeExtent();
  VMDKWriter::close();
}

void VMDKFlatWriter::settleCapacity(uint64_t sectors) {
  VMDKWriter::settleCapacity(sectors);
  closeExtent();
  openExtent(0);
  if (!platform::setFileSize(extentFd_, layout_.capacitySectors() * kSectorBytes)) {
    throw FatalError("Failed to write file " + extentPath_);
  }
}

uint64_t VMDKFlatWriter::offsetInExtent(uint64_t grain) {
  uint64_t grainsPerExtent = extents_.sectors(0) / kGrainSectors;
  uint64_t index = grain / grainsPerExtent;
  if (index != openIndex_) openExtent(index);
  return (grain - index * grainsPerExtent) * kGrainBytes;
}

void VMDKFlatWriter::openExtent(uint64_t index) {
  closeExtent();
  extentPath_ = directory_ + extents_.name(index);
  extentFd_ = platform::openFile(
      extentPath_, platform::kOpenBinary | platform::kOpenReadWrite | platform::kOpenLockWrite);
  if (extentFd_ < 0) throw FatalError("Failed to write file " + extentPath_);
  openIndex_ = index;
}

void VMDKFlatWriter::flush() {
  if (gathered_.empty()) return;
  bool written = platform::writeFileAt(extentFd_, gatheredOffset_, gathered_.data(),
                                       static_cast<uint32_t>(gathered_.size()));
  gathered_.clear();
  if (!written) throw FatalError("Failed to write file " + extentPath_);
}

// What the system leaves uncopied goes through memory, where a failure
// tells a read from a write.
void VMDKFlatWriter::flushCopy() {
  if (copyLength_ == 0) return;
  uint64_t done =
      platform::copyInside(copying_.fd, copying_.offset, extentFd_, copyTo_, copyLength_);
  std::vector<uint8_t> buffer;
  while (done < copyLength_) {
    GrainPlace rest = copying_;
    rest.offset += done;
    rest.length = static_cast<uint32_t>(std::min<uint64_t>(copyLength_ - done, kGatherBytes));
    buffer.resize(rest.length);
    readPlaced(rest, buffer.data());
    if (!platform::writeFileAt(extentFd_, copyTo_ + done, buffer.data(), rest.length)) {
      copyLength_ = 0;
      throw FatalError("Failed to write file " + extentPath_);
    }
    done += rest.length;
  }
  copyLength_ = 0;
}

void VMDKFlatWriter::closeExtent() {
  if (extentFd_ < 0) return;
  flush();
  flushCopy();
  int fd = extentFd_;
  extentFd_ = -1;
  openIndex_ = kNoExtent;
  if (!platform::closeFile(fd)) throw FatalError("Failed to write file " + extentPath_);
}

}  // namespace skarvel
