#include "writer/single_file_writer.h"

#include <algorithm>
#include <cstring>

#include "base/byte_order.h"
#include "base/fatal_error.h"
#include "base/numbers.h"
#include "platform/file.h"

namespace skarvel {

namespace {

// Consecutive grains are gathered up to this many bytes (16 grains) before
// they go out in one write.
constexpr size_t kGatherBytes = 16 * kGrainBytes;
constexpr uint64_t kTableBytes = kTableEntries * kEntryBytes;  // 2048

}  // namespace

VMDKSingleFileWriter::VMDKSingleFileWriter(int fd, const std::string& path,
                                           const SparseLayout& layout)
    : VMDKWriter(fd, path, layout), table_(kTableBytes, 0) {
  layout_.fillHeader(header_);
  nextFreeSector_ = header_.overHead;
  // A file that already holds grains is appended to after its last one.
  uint64_t size = 0;
  if (platform::fileSizeOf(fd_, &size)) {
    uint64_t end =
        divideRoundingUp(divideRoundingUp(size, kSectorBytes), kGrainSectors) * kGrainSectors;
    if (end > nextFreeSector_) {
      nextFreeSector_ = end;
      heldGrains_ = true;
    }
  }
  grains_.reserve(kGatherBytes);
}

VMDKSingleFileWriter::~VMDKSingleFileWriter() {
  if (fd_ < 0) return;
  // Leave what was written consistent, even on the way out of a failure.
  try {
    flushTable();
    flushGrains();
  } catch (const FatalError&) {
  }
}

void VMDKSingleFileWriter::writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) {
  if (grain >= layout_.grainCount) return;
  if (nextFreeSector_ + header_.grainSize > kSectorLimit) failWrite();
  useTable(grain / header_.numGTEsPerGT);
  putLittleEndian32(&table_[(grain % header_.numGTEsPerGT) * kEntryBytes],
                    static_cast<uint32_t>(nextFreeSector_));
  tableChanged_ = true;

  size_t grainLength = static_cast<size_t>(header_.grainSize * kSectorBytes);
  if (grains_.size() + grainLength > kGatherBytes) flushGrains();
  if (grains_.empty()) grainsSector_ = nextFreeSector_;
  size_t stored = std::min<size_t>(length, grainLength);
  grains_.insert(grains_.end(), data, data + stored);
  grains_.resize(grains_.size() + (grainLength - stored), 0);
  nextFreeSector_ += header_.grainSize;
}

void VMDKSingleFileWriter::close() {
  if (fd_ >= 0) {
    flushTable();
    flushGrains();
  }
  VMDKWriter::close();
}

uint64_t VMDKSingleFileWriter::tableOffset(uint64_t directoryOffset, uint64_t index) const {
  return (directoryOffset + layout_.directorySectors + kTableSectors * index) * kSectorBytes;
}

void VMDKSingleFileWriter::writeAt(uint64_t offset, const uint8_t* data, size_t length) {
  if (!platform::writeFileAt(fd_, offset, data, static_cast<uint32_t>(length))) {
    failWrite();
  }
}

void VMDKSingleFileWriter::flushGrains() {
  if (grains_.empty()) return;
  writeAt(grainsSector_ * kSectorBytes, grains_.data(), grains_.size());
  grains_.clear();
}

void VMDKSingleFileWriter::flushTable() {
  if (tableIndex_ == kNoTable || !tableChanged_) return;
  // The grains go first, so that no entry ever points at data not yet there.
  flushGrains();
  writeAt(tableOffset(header_.rgdOffset, tableIndex_), table_.data(), table_.size());
  writeAt(tableOffset(header_.gdOffset, tableIndex_), table_.data(), table_.size());
  firstUntouchedTable_ = std::max(firstUntouchedTable_, tableIndex_ + 1);
  tableChanged_ = false;
}

void VMDKSingleFileWriter::useTable(uint64_t index) {
  if (index == tableIndex_) return;
  flushTable();
  std::fill(table_.begin(), table_.end(), 0);
  tableIndex_ = index;
  // Only a table this writer (or an earlier one) may have filled is read
  // back; every other table of the file is still all zero.
  if (!heldGrains_ && index >= firstUntouchedTable_) return;
  if (platform::readFileAt(fd_, tableOffset(header_.gdOffset, index), table_.data(),
                           static_cast<uint32_t>(table_.size())) < 0) {
    failWrite();
  }
}

}  // namespace skarvel
