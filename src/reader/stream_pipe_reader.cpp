#include "reader/stream_pipe_reader.h"

#include <algorithm>
#include <cstring>

#include "base/byte_order.h"
#include "base/fatal_error.h"
#include "base/numbers.h"
#include "format/compressed_grain.h"
#include "format/descriptor_parser.h"
#include "format/stream_marker.h"
#include "platform/file.h"

namespace skarvel {

namespace {

// The overhead (header, descriptor and, where the header names the
// directory, both directories and all tables) is kept in memory while it
// passes: at most 256 MiB, the tables of a disk of 2 TiB.
constexpr uint64_t kMaxOverheadSectors = (uint64_t{256} << 20) / kSectorBytes;
constexpr uint64_t kTableBytes = kTableEntries * kEntryBytes;  // 2048

bool isStreamHeader(const SparseExtentHeader& h, uint16_t compressAlgorithm) {
  constexpr uint32_t kStreamFlags = kHeaderFlagCompressedGrains | kHeaderFlagMarkers;
  return h.magicNumber == kSparseMagic && h.version <= kNewestReadVersion &&
         h.grainSize == kGrainSectors && (h.flags & kStreamFlags) == kStreamFlags &&
         compressAlgorithm == kCompressDeflate;
}

}  // namespace

VMDKStreamPipeReader::VMDKStreamPipeReader(int fd, const std::string& path,
                                           const std::vector<uint8_t>& firstSector)
    : VMDKReader(fd, path) {
  HeaderBytes record;
  std::copy_n(firstSector.begin(), record.size(), record.begin());
  header_ = decodeHeader(record);
  if (!isStreamHeader(header_, getLittleEndian16(&firstSector[kCompressAlgorithmOffset]))) {
    throw FatalError("Cannot read from standard input");
  }
  position_ = 1;
  capacity_ = header_.capacity;
  layout_ = computeLayout(capacity_, header_.hasEmbeddedDescriptor() ? 1 : 0);
  // A directory the header places inside the overhead comes, with its
  // tables, before the grains; any other comes after them behind a marker.
  directoryInHeader_ = header_.gdOffset < header_.overHead;
  // The descriptor lies inside the overhead (compared without a sum that
  // could wrap).
  bool descriptorInside = header_.descriptorOffset < header_.overHead &&
                          header_.descriptorSize <= header_.overHead - header_.descriptorOffset;
  if (capacity_ == 0 || capacity_ > kMaxCapacitySectors || header_.numGTEsPerGT != kTableEntries ||
      header_.overHead < 1 || header_.overHead > kMaxOverheadSectors ||
      (header_.hasEmbeddedDescriptor() && !descriptorInside)) {
    refuse();
  }
  overhead_ = firstSector;
  readSectors(header_.overHead - 1, overhead_);
  if (header_.hasEmbeddedDescriptor()) {
    // The text ends at its first zero byte, or with the area.
    auto area = overhead_.begin() + static_cast<ptrdiff_t>(header_.descriptorOffset * kSectorBytes);
    StringByteSource source(
        std::string(area, area + static_cast<ptrdiff_t>(header_.descriptorSize * kSectorBytes)));
    descriptor_ = parseDescriptor(source, false).descriptor;
  }
  if (!directoryInHeader_) {
    std::vector<uint8_t>().swap(overhead_);
  } else if (header_.gdOffset == 0 ||
             header_.gdOffset + layout_.directorySectors > header_.overHead) {
    refuse();
  }
}

void VMDKStreamPipeReader::readSectors(uint64_t sectors, std::vector<uint8_t>& out) {
  size_t start = out.size();
  out.resize(start + sectors * kSectorBytes);
  for (uint64_t done = 0; done < sectors;) {
    // Large reads, each within 32 bits.
    uint64_t step = std::min<uint64_t>(sectors - done, 2048);
    int64_t n = platform::readFile(fd_, &out[start + done * kSectorBytes],
                                   static_cast<uint32_t>(step * kSectorBytes));
    if (n < 0) throw FatalError("Failed to read file " + path_);
    if (static_cast<uint64_t>(n) < step * kSectorBytes) {
      throw FatalError("Truncated image file " + path_);
    }
    done += step;
  }
  position_ += sectors;
}

uint32_t VMDKStreamPipeReader::headerTableEntry(uint64_t grain) const {
  uint64_t directoryByte = header_.gdOffset * kSectorBytes + grain / kTableEntries * kEntryBytes;
  uint32_t table = getLittleEndian32(&overhead_[directoryByte]);
  if (table == 0) return 0;
  // Only tables in the overhead are known; one elsewhere cannot be checked.
  if (table + kTableSectors > header_.overHead) refuse();
  return getLittleEndian32(&overhead_[table * kSectorBytes + grain % kTableEntries * kEntryBytes]);
}

void VMDKStreamPipeReader::refuseNamedGrains(uint64_t from, uint64_t to) const {
  if (!directoryInHeader_) return;
  for (uint64_t grain = from; grain < to; ++grain) {
    // A table the directory does not name names none of its grains.
    uint64_t directoryByte = header_.gdOffset * kSectorBytes + grain / kTableEntries * kEntryBytes;
    if (getLittleEndian32(&overhead_[directoryByte]) == 0) {
      grain += kTableEntries - 1 - grain % kTableEntries;
      continue;
    }
    if (headerTableEntry(grain) != 0) refuse();
  }
}

void VMDKStreamPipeReader::loadPending() {
  std::vector<uint8_t> sector;
  while (!pending_ && !ended_) {
    sector.clear();
    readSectors(1, sector);
    StreamMarker marker = decodeMarker(sector.data());
    if (marker.isGrain()) {
      takeGrainMarker(sector);
    } else if (marker.type == static_cast<uint32_t>(MarkerType::kGrainTable)) {
      takeTable(marker.value);
    } else if (marker.type == static_cast<uint32_t>(MarkerType::kGrainDirectory)) {
      takeDirectory(marker.value);
    } else if (marker.type == static_cast<uint32_t>(MarkerType::kFooter) && marker.value == 1) {
      takeFooter();
    } else if (marker.type == static_cast<uint32_t>(MarkerType::kEndOfStream) &&
               marker.value == 0) {
      finishStream();
    } else {
      refuse();
    }
  }
}

void VMDKStreamPipeReader::takeGrainMarker(const std::vector<uint8_t>& sector) {
  refuseAfterDirectory();
  StreamMarker marker = decodeGrainMarker(sector.data());
  uint64_t markerSector = position_ - 1;
  uint64_t index = marker.value / kGrainSectors;
  if (marker.value % kGrainSectors != 0 || marker.value >= capacity_ || index < nextAllowed_ ||
      marker.size > kMaxCompressedGrainBytes || markerSector >= kSectorLimit) {
    refuse();
  }
  refuseNamedGrains(nextAllowed_, index);
  if (directoryInHeader_ && headerTableEntry(index) != markerSector) refuse();
  PendingGrain grain{index, markerSector, sector};
  readSectors(sectorsToNextMarker(marker) - 1, grain.stream);
  grain.stream.erase(grain.stream.begin(), grain.stream.begin() + kGrainMarkerBytes);
  grain.stream.resize(marker.size);
  nextAllowed_ = index + 1;
  if (!directoryInHeader_) untabled_.emplace_back(index, markerSector);
  pending_ = std::move(grain);
}

void VMDKStreamPipeReader::takeTable(uint64_t sectors) {
  uint64_t tableSector = position_;
  std::vector<uint8_t> table;
  refuseAfterDirectory();
  if (sectors != kTableSectors) refuse();
  readSectors(sectors, table);
  if (directoryInHeader_) return;
  // The table names exactly the grains since the previous one, all of one
  // table; a table without grains names none.
  uint64_t index = untabled_.empty() ? ~uint64_t{0} : untabled_.front().first / kTableEntries;
  std::vector<uint8_t> expected(kTableBytes, 0);
  for (const auto& [grain, sector] : untabled_) {
    if (grain / kTableEntries != index) refuse();
    putLittleEndian32(&expected[grain % kTableEntries * kEntryBytes],
                      static_cast<uint32_t>(sector));
  }
  if (table != expected) refuse();
  tables_.emplace_back(index, tableSector);
  untabled_.clear();
}

void VMDKStreamPipeReader::takeFooter() {
  std::vector<uint8_t> footer;
  readSectors(1, footer);
  if (directoryInHeader_) return;
  if (footerSeen_) refuse();
  footerSeen_ = true;
  if (header_.gdOffset != kDirectoryInFooter) return;
  // A reader that seeks takes the directory the footer names.
  HeaderBytes record;
  std::copy_n(footer.begin(), record.size(), record.begin());
  if (decodeHeader(record).gdOffset != directorySector_) refuse();
}

void VMDKStreamPipeReader::takeDirectory(uint64_t sectors) {
  refuseAfterDirectory();
  if (!directoryInHeader_) directorySeen_ = true;
  directorySector_ = position_;
  // A directory of its capacity's size, padded at most to a grain; no more
  // is read into memory.
  if (sectors > layout_.directorySectors + kGrainSectors) refuse();
  std::vector<uint8_t> directory;
  readSectors(sectors, directory);
  if (directoryInHeader_) return;
  // A reader that seeks takes the directory the header names, if it does.
  bool elsewhere = header_.gdOffset != kDirectoryInFooter && header_.gdOffset != directorySector_;
  if (elsewhere || !untabled_.empty() || sectors < layout_.directorySectors) refuse();
  // Every entry names the table of its index, or an empty table, or none.
  std::vector<uint32_t> named(layout_.grainTableCount, 0);
  for (const auto& [index, sector] : tables_) {
    if (index == ~uint64_t{0}) continue;
    named[index] = static_cast<uint32_t>(sector);
  }
  for (uint64_t t = 0; t < layout_.grainTableCount; ++t) {
    uint32_t entry = getLittleEndian32(&directory[t * kEntryBytes]);
    if (entry == named[t]) continue;
    bool empty = std::any_of(tables_.begin(), tables_.end(), [entry](const auto& table) {
      return table.first == ~uint64_t{0} && table.second == entry;
    });
    if (named[t] != 0 || !empty) refuse();
  }
}

void VMDKStreamPipeReader::finishStream() {
  // Grains a table names but the stream never brought would read as data
  // elsewhere; grains no table marker named would read as zeros there.
  refuseNamedGrains(nextAllowed_, layout_.grainCount);
  if (!untabled_.empty()) refuse();
  // A directory the header names after the grains must have come; one the
  // footer names, with its footer.
  if (!directoryInHeader_ && header_.gdOffset != kDirectoryInFooter && directorySector_ == 0) {
    refuse();
  }
  if (!directoryInHeader_ && header_.gdOffset == kDirectoryInFooter && !footerSeen_) refuse();
  ended_ = true;
  // The rest of the input (padding) is read, so that its writer ends well.
  std::vector<uint8_t> rest(kGrainBytes);
  while (platform::readFile(fd_, rest.data(), static_cast<uint32_t>(rest.size())) > 0) {
  }
}

uint64_t VMDKStreamPipeReader::nextGrainWithData(uint64_t grain) {
  loadPending();
  if (!pending_) return std::max(grain, layout_.grainCount);
  return std::max(grain, pending_->index);
}

uint32_t VMDKStreamPipeReader::readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) {
  loadPending();
  if (!pending_ || grain < pending_->index) return 0;
  if (grain > pending_->index) throw FatalError("Failed to read file " + path_);
  inflated_.resize(kGrainBytes);
  std::optional<uint32_t> inflatedBytes =
      inflateGrain(pending_->stream.data(), static_cast<uint32_t>(pending_->stream.size()),
                   inflated_.data(), static_cast<uint32_t>(kGrainBytes));
  // Every grain inflates to a whole grain, but the last one may stop at the
  // capacity.
  uint64_t bytesLeft = (capacity_ - grain * kGrainSectors) * kSectorBytes;
  uint64_t needed = std::min(kGrainBytes, bytesLeft);
  if (!inflatedBytes || *inflatedBytes < needed) throw FatalError("Failed to read file " + path_);
  uint32_t delivered = static_cast<uint32_t>(std::min<uint64_t>({*inflatedBytes, length, needed}));
  std::memcpy(buffer, inflated_.data(), delivered);
  pending_.reset();
  return delivered;
}

void VMDKStreamPipeReader::refuseAfterDirectory() const {
  if (!directoryInHeader_ && (directorySeen_ || footerSeen_)) refuse();
}

void VMDKStreamPipeReader::refuse() const { throw FatalError("Invalid stream image " + path_); }

}  // namespace skarvel
