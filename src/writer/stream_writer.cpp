#include "writer/stream_writer.h"

#include <algorithm>
#include <cstring>

#include "base/byte_order.h"
#include "base/fatal_error.h"
#include "platform/file.h"

namespace skarvel {

namespace {

constexpr size_t kGatherBytes = 1 << 20;
constexpr uint64_t kTableBytes = kTableEntries * kEntryBytes;  // 2048
// Grains start at the first grain boundary after header and descriptor.
constexpr uint64_t kFirstGrainSector = kGrainSectors;

}  // namespace

VMDKStreamWriter::VMDKStreamWriter(int fd, const std::string& path, const SparseLayout& layout,
                                   const std::string& descriptorText, Observer observer,
                                   Describe describe)
    : VMDKWriter(fd, path, layout),
      observer_(std::move(observer)),
      describe_(std::move(describe)),
      compressor_([this](uint64_t grain, const std::vector<uint8_t>& stream) {
        storeGrain(grain, stream);
      }),
      table_(kTableBytes, 0) {
  layout_.fillHeader(header_);
  header_.version = 3;
  header_.flags = kHeaderFlagValidNewlines | kHeaderFlagCompressedGrains | kHeaderFlagMarkers;
  header_.descriptorOffset = 1;
  header_.descriptorSize = kDescriptorSectors;
  header_.rgdOffset = 0;
  header_.gdOffset = kDirectoryInFooter;
  header_.overHead = kFirstGrainSector;
  std::vector<uint8_t> bytes = head(descriptorText);
  appendSectors(bytes.data(), bytes.size());
  gathered_.reserve(kGatherBytes);
}

std::vector<uint8_t> VMDKStreamWriter::head(const std::string& text) const {
  std::vector<uint8_t> bytes(kFirstGrainSector * kSectorBytes, 0);
  SparseExtentHeader header = header_;
  header.gdOffset = kDirectoryInFooter;
  HeaderBytes record = encodeHeader(header);
  std::copy(record.begin(), record.end(), bytes.begin());
  bytes[kCompressAlgorithmOffset] = static_cast<uint8_t>(kCompressDeflate);
  std::memcpy(&bytes[kSectorBytes], text.data(),
              std::min<size_t>(text.size(), kDescriptorBytes - 1));
  return bytes;
}

void VMDKStreamWriter::settleCapacity(uint64_t sectors) {
  VMDKWriter::settleCapacity(sectors);
  header_.capacity = layout_.capacitySectors();
}

VMDKStreamWriter::~VMDKStreamWriter() {
  // A member's file is its caller's to close.
  if (observer_) fd_ = -1;
}

void VMDKStreamWriter::writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) {
  if (grain >= layout_.grainCount) return;
  if (grain < nextGrain_) failWrite();
  nextGrain_ = grain + 1;
  compressor_.submit(grain, data, length);
}

void VMDKStreamWriter::close() {
  if (fd_ >= 0) {
    compressor_.finish();
    finishTable();
    writeDirectory();
    std::vector<uint8_t> footer(kSectorBytes, 0);
    HeaderBytes bytes = encodeHeader(header_);
    std::copy(bytes.begin(), bytes.end(), footer.begin());
    footer[kCompressAlgorithmOffset] = static_cast<uint8_t>(kCompressDeflate);
    appendMarker(1, MarkerType::kFooter);
    appendSectors(footer.data(), footer.size());
    appendMarker(0, MarkerType::kEndOfStream);
    flush();
    if (describe_) {
      std::vector<uint8_t> bytes = head(describe_(layout_));
      if (!platform::writeFileAt(fd_, 0, bytes.data(), static_cast<uint32_t>(bytes.size()))) {
        failWrite();
      }
    }
  }
  if (observer_) fd_ = -1;
  VMDKWriter::close();
}

void VMDKStreamWriter::storeGrain(uint64_t grain, const std::vector<uint8_t>& stream) {
  if (stream.empty()) failWrite();
  uint64_t table = grain / kTableEntries;
  if (table != tableIndex_) {
    finishTable();
    tableIndex_ = table;
  }
  putLittleEndian32(&table_[(grain % kTableEntries) * kEntryBytes],
                    static_cast<uint32_t>(nextSector_));
  uint8_t marker[kGrainMarkerBytes];
  putLittleEndian64(marker, grain * kGrainSectors);
  putLittleEndian32(marker + 8, static_cast<uint32_t>(stream.size()));
  // Marker and stream share their first sector: append both, then pad.
  if (gathered_.size() + kGrainMarkerBytes + stream.size() > kGatherBytes) flush();
  if (gathered_.empty()) gatheredSector_ = nextSector_;
  gathered_.insert(gathered_.end(), marker, marker + kGrainMarkerBytes);
  appendSectors(stream.data(), stream.size());
}

void VMDKStreamWriter::finishTable() {
  if (tableIndex_ == kNoTable) return;
  appendMarker(kTableSectors, MarkerType::kGrainTable);
  tables_.emplace_back(tableIndex_, static_cast<uint32_t>(nextSector_));
  appendSectors(table_.data(), table_.size());
  std::fill(table_.begin(), table_.end(), 0);
  tableIndex_ = kNoTable;
}

void VMDKStreamWriter::writeDirectory() {
  appendMarker(layout_.directorySectors, MarkerType::kGrainDirectory);
  header_.gdOffset = nextSector_;
  // Written a sector at a time, so that a directory of any size costs no
  // more memory than the tables that were written.
  auto next = tables_.begin();
  uint8_t sector[kSectorBytes];
  for (uint64_t s = 0; s < layout_.directorySectors; ++s) {
    std::memset(sector, 0, sizeof sector);
    for (; next != tables_.end() && next->first / kEntriesPerSector == s; ++next) {
      putLittleEndian32(&sector[(next->first % kEntriesPerSector) * kEntryBytes], next->second);
    }
    appendSectors(sector, sizeof sector);
  }
}

void VMDKStreamWriter::appendMarker(uint64_t sectors, MarkerType type) {
  uint8_t marker[kMetadataMarkerBytes] = {};
  putLittleEndian64(marker, sectors);
  putLittleEndian32(marker + 12, static_cast<uint32_t>(type));
  appendSectors(marker, sizeof marker);
}

void VMDKStreamWriter::appendSectors(const uint8_t* data, size_t length) {
  if (gathered_.empty()) gatheredSector_ = nextSector_;
  // What a grain marker left in the buffer belongs to the same sectors.
  size_t start = (nextSector_ - gatheredSector_) * kSectorBytes;
  gathered_.insert(gathered_.end(), data, data + length);
  size_t end = gathered_.size() + (kSectorBytes - gathered_.size() % kSectorBytes) % kSectorBytes;
  gathered_.resize(end, 0);
  nextSector_ += (end - start) / kSectorBytes;
  // Every sector number, the end-of-stream marker's included, must fit the
  // 32-bit entries and markers that may point at it.
  if (nextSector_ >= kSectorLimit) failWrite();
  if (gathered_.size() >= kGatherBytes) flush();
}

void VMDKStreamWriter::flush() {
  if (gathered_.empty()) return;
  if (observer_) observer_(gathered_.data(), gathered_.size());
  // Sectors go out strictly in order, so the output may be a pipe.
  if (!platform::writeFile(fd_, gathered_.data(), static_cast<uint32_t>(gathered_.size()))) {
    failWrite();
  }
  gatheredSector_ += gathered_.size() / kSectorBytes;
  gathered_.clear();
}

}  // namespace skarvel
