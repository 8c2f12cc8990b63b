#include "writer/flat_writer.h"

#include <algorithm>

#include "base/fatal_error.h"
#include "platform/file.h"

namespace skarvel {

namespace {

// Consecutive grains are gathered up to this many bytes before they go out
// in one write.
constexpr size_t kGatherBytes = 16 * kGrainBytes;

}  // namespace

VMDKFlatWriter::VMDKFlatWriter(int fd, const std::string& path, const SparseLayout& layout,
                               const std::string& directory, const SplitExtents& extents)
    : VMDKWriter(fd, path, layout), directory_(directory), extents_(extents) {
  gathered_.reserve(kGatherBytes);
}

VMDKFlatWriter::~VMDKFlatWriter() {
  try {
    flush();
  } catch (const FatalError&) {
  }
  if (extentFd_ >= 0) platform::closeFile(extentFd_);
}

void VMDKFlatWriter::writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) {
  if (grain >= layout_.grainCount) return;
  uint64_t grainsPerExtent = extents_.sectors(0) / kGrainSectors;
  uint64_t index = grain / grainsPerExtent;
  if (index != openIndex_) openExtent(index);
  uint64_t offset = (grain - index * grainsPerExtent) * kGrainBytes;
  size_t stored = std::min<size_t>(length, kGrainBytes);
  if (!gathered_.empty() &&
      (gatheredOffset_ + gathered_.size() != offset || gathered_.size() + stored > kGatherBytes)) {
    flush();
  }
  if (gathered_.empty()) gatheredOffset_ = offset;
  gathered_.insert(gathered_.end(), data, data + stored);
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

void VMDKFlatWriter::closeExtent() {
  if (extentFd_ < 0) return;
  flush();
  int fd = extentFd_;
  extentFd_ = -1;
  openIndex_ = kNoExtent;
  if (!platform::closeFile(fd)) throw FatalError("Failed to write file " + extentPath_);
}

}  // namespace skarvel
