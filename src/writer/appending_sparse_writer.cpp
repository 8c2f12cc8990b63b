#include "writer/appending_sparse_writer.h"

#include <algorithm>
#include <cstring>

#include "base/byte_order.h"
#include "base/fatal_error.h"
#include "format/sparse_header.h"
#include "platform/file.h"

namespace skarvel {

namespace {

constexpr size_t kGatherBytes = 16 * kGrainBytes;
constexpr uint64_t kTableBytes = kTableEntries * kEntryBytes;  // 2048
// Grains start at the first grain boundary after header and descriptor.
constexpr uint64_t kFirstGrainSector = kGrainSectors;

}  // namespace

VMDKAppendingSparseWriter::VMDKAppendingSparseWriter(int fd, const std::string& path,
                                                     const SparseLayout& layout, Describe describe)
    : VMDKWriter(fd, path, layout),
      describe_(std::move(describe)),
      nextSector_(kFirstGrainSector),
      gatheredSector_(kFirstGrainSector),
      table_(kTableBytes, 0) {
  gathered_.reserve(kGatherBytes);
}

void VMDKAppendingSparseWriter::writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) {
  if (grain >= layout_.grainCount) return;
  if (grain < nextGrain_) failWrite();
  nextGrain_ = grain + 1;
  placeTablesBefore(grain / kTableEntries);
  putLittleEndian32(&table_[grain % kTableEntries * kEntryBytes],
                    static_cast<uint32_t>(nextSector_));
  // A short grain (the last of the disk) is padded with zeros, so that
  // whole sectors are appended.
  if (length >= kGrainBytes) {
    append(data, kGrainBytes);
    return;
  }
  std::vector<uint8_t> padded(kGrainBytes, 0);
  std::memcpy(padded.data(), data, length);
  append(padded.data(), padded.size());
}

void VMDKAppendingSparseWriter::placeTablesBefore(uint64_t end) {
  static const std::vector<uint8_t> empty(kTableBytes, 0);
  for (; nextTable_ < end; ++nextTable_) {
    tableSectors_.push_back(static_cast<uint32_t>(nextSector_ + kTableSectors));
    if (table_ == empty) {
      skip(2 * kTableSectors);
      continue;
    }
    append(table_.data(), table_.size());
    append(table_.data(), table_.size());
    std::fill(table_.begin(), table_.end(), 0);
  }
}

void VMDKAppendingSparseWriter::append(const uint8_t* data, size_t length) {
  if (length == 0) return;
  gathered_.insert(gathered_.end(), data, data + length);
  nextSector_ = gatheredSector_ + gathered_.size() / kSectorBytes;
  // Every sector, the directories' included, must fit a 32-bit entry.
  if (nextSector_ >= kSectorLimit) failWrite();
  if (gathered_.size() >= kGatherBytes) flush();
}

void VMDKAppendingSparseWriter::skip(uint64_t sectors) {
  flush();
  nextSector_ += sectors;
  gatheredSector_ = nextSector_;
  if (nextSector_ >= kSectorLimit) failWrite();
}

void VMDKAppendingSparseWriter::flush() {
  if (gathered_.empty()) return;
  if (!platform::writeFileAt(fd_, gatheredSector_ * kSectorBytes, gathered_.data(),
                             static_cast<uint32_t>(gathered_.size()))) {
    failWrite();
  }
  gatheredSector_ += gathered_.size() / kSectorBytes;
  gathered_.clear();
}

void VMDKAppendingSparseWriter::writeDirectory() {
  // Redundant copies lie just before their primaries.
  for (uint64_t redundant : {uint64_t{kTableSectors}, uint64_t{0}}) {
    (redundant != 0 ? rgdOffset_ : gdOffset_) = nextSector_;
    std::vector<uint8_t> sector(kSectorBytes);
    for (uint64_t s = 0; s < layout_.directorySectors; ++s) {
      std::fill(sector.begin(), sector.end(), 0);
      for (uint64_t e = 0; e < kEntriesPerSector; ++e) {
        uint64_t t = s * kEntriesPerSector + e;
        if (t >= tableSectors_.size()) break;
        putLittleEndian32(&sector[e * kEntryBytes],
                          static_cast<uint32_t>(tableSectors_[t] - redundant));
      }
      append(sector.data(), sector.size());
    }
  }
  flush();
}

void VMDKAppendingSparseWriter::writeHead() {
  SparseExtentHeader header;
  layout_.fillHeader(header);
  header.rgdOffset = rgdOffset_;
  header.gdOffset = gdOffset_;
  header.overHead = kFirstGrainSector;
  std::vector<uint8_t> head((1 + kDescriptorSectors) * kSectorBytes, 0);
  HeaderBytes record = encodeHeader(header);
  std::copy(record.begin(), record.end(), head.begin());
  std::string text = describe_(layout_);
  std::memcpy(&head[kSectorBytes], text.data(),
              std::min<size_t>(text.size(), kDescriptorBytes - 1));
  // The directories and tables are in the file before the header names them.
  if (!platform::syncFile(fd_) ||
      !platform::writeFileAt(fd_, 0, head.data(), static_cast<uint32_t>(head.size()))) {
    failWrite();
  }
}

void VMDKAppendingSparseWriter::close() {
  if (fd_ >= 0) {
    placeTablesBefore(layout_.grainTableCount);
    flush();
    writeDirectory();
    writeHead();
  }
  VMDKWriter::close();
}

}  // namespace skarvel
