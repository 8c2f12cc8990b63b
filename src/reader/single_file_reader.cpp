#include "reader/single_file_reader.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/fatal_error.h"
#include "base/numbers.h"
#include "format/compressed_grain.h"
#include "format/stream_marker.h"
#include "platform/file.h"
#include "reader/stream_footer.h"

namespace skarvel {

namespace {

// The header record and the compressAlgorithm field after it.
constexpr uint32_t kProbedBytes = kCompressAlgorithmOffset + 2;
static_assert(kCompressAlgorithmOffset == kHeaderRecordBytes);

struct ProbedHeader {
  SparseExtentHeader header;
  uint16_t compressAlgorithm = 0;
  uint32_t bytesRead = 0;
};

ProbedHeader readHeader(int fd, const std::string& path) {
  std::array<uint8_t, kProbedBytes> bytes{};
  ProbedHeader probed;
  probed.bytesRead = readAt(fd, path, 0, bytes.data(), kProbedBytes);
  HeaderBytes record;
  std::copy_n(bytes.begin(), record.size(), record.begin());
  probed.header = decodeHeader(record);
  probed.compressAlgorithm = getLittleEndian16(&bytes[kCompressAlgorithmOffset]);
  return probed;
}

// Compressed grains are read when they are zlib streams behind grain
// markers; the markers flag alone changes nothing for a reader that finds
// grains through the tables. Grains of another size than 128 sectors are
// not read: the disk is served in 64 KiB grains, one table entry each.
bool isReadable(const ProbedHeader& probed) {
  const SparseExtentHeader& h = probed.header;
  if (h.magicNumber != kSparseMagic || h.version < 1 || h.version > kNewestReadVersion ||
      h.grainSize != kGrainSectors) {
    return false;
  }
  if ((h.flags & kHeaderFlagCompressedGrains) == 0) return true;
  return (h.flags & kHeaderFlagMarkers) != 0 && probed.compressAlgorithm == kCompressDeflate;
}

// Sector numbers from the header must leave byte offsets that 64 bits hold
// and name places a 32-bit entry could also name.
bool headerIsSane(const SparseExtentHeader& header, uint64_t directorySector,
                  const SparseLayout& layout) {
  if (header.capacity > kMaxCapacitySectors || !layout.metadataAddressable()) return false;
  if (directorySector >= kSectorLimit) return false;
  return !header.hasEmbeddedDescriptor() || header.descriptorOffset < kSectorLimit;
}

// The format writes tables of 512 entries and other tools refuse larger
// ones; a header that claims more, or none, is not taken at its word.
constexpr uint32_t kMaxTableEntries = 512;

// The directory is read this many entries (4 KiB) at a time, so that a run
// of absent tables costs one read, whatever the size of the tables.
constexpr uint64_t kDirectoryBlockEntries = 1024;

}  // namespace

SparseProbe probeSparseExtent(int fd, const std::string& path) {
  ProbedHeader probed = readHeader(fd, path);
  // Magic and version: the first 8 bytes of a sparse extent.
  constexpr uint32_t kMagicAndVersionBytes = 8;
  if (probed.bytesRead < kMagicAndVersionBytes || probed.header.magicNumber != kSparseMagic) {
    return SparseProbe::kNotSparse;
  }
  return isReadable(probed) ? SparseProbe::kReadable : SparseProbe::kUnsupported;
}

VMDKSingleFileReader::VMDKSingleFileReader(int fd, const std::string& path) : VMDKReader(fd, path) {
  ProbedHeader probed = readHeader(fd_, path_);
  if (!isReadable(probed)) throw FatalError("Unsupported extent file " + path_);
  header_ = probed.header;
  refuseTruncatedFile();
  zeroedGrains_ = (header_.flags & kHeaderFlagZeroedGrains) != 0;
  compressed_ = (header_.flags & kHeaderFlagCompressedGrains) != 0;
  directorySector_ = header_.gdOffset;
  if (compressed_ && directorySector_ == kDirectoryInFooter) {
    directorySector_ = directoryFromFooter(fd_, path_, header_.overHead);
  }
  bool embedded = header_.hasEmbeddedDescriptor();
  layout_ = computeLayout(header_.capacity, embedded ? 1 : 0);
  if (!headerIsSane(header_, directorySector_, layout_) || header_.numGTEsPerGT == 0 ||
      header_.numGTEsPerGT > kMaxTableEntries) {
    throw FatalError("Invalid sparse extent header in " + path_);
  }
  if (embedded) readDescriptor(header_.descriptorOffset, nullptr);
  capacity_ = header_.capacity;
}

uint32_t VMDKSingleFileReader::directoryEntry(uint64_t tableIndex) {
  if (directoryBlock_.empty() || tableIndex - directoryBlockStart_ >= kDirectoryBlockEntries) {
    // Cleared first: a read that fails leaves no block that seems read.
    directoryBlock_.clear();
    uint64_t start = tableIndex - tableIndex % kDirectoryBlockEntries;
    std::vector<uint8_t> block(kDirectoryBlockEntries * kEntryBytes, 0);
    readAt(fd_, path_, directorySector_ * kSectorBytes + start * kEntryBytes, block.data(),
           static_cast<uint32_t>(block.size()));
    directoryBlockStart_ = start;
    directoryBlock_ = std::move(block);
  }
  uint64_t entryEnd = directorySector_ * kSectorBytes + (tableIndex + 1) * kEntryBytes;
  if (failOnMissing_ && entryEnd > fileBytes_) failRead();
  // Entries the file does not hold in full read as absent (zero).
  return getLittleEndian32(&directoryBlock_[(tableIndex - directoryBlockStart_) * kEntryBytes]);
}

void VMDKSingleFileReader::loadTable(uint64_t tableIndex) {
  // Marked as no table first: a read that fails leaves none that seems read.
  cachedTableIndex_ = kNoTable;
  cachedTable_.assign(header_.numGTEsPerGT * kEntryBytes, 0);
  uint32_t table = directoryEntry(tableIndex);
  cachedTableHeld_ = static_cast<uint32_t>(cachedTable_.size());
  // Entries the file does not hold in full read as absent (zero).
  if (table != 0) {
    cachedTableHeld_ = readAt(fd_, path_, uint64_t{table} * kSectorBytes, cachedTable_.data(),
                              static_cast<uint32_t>(cachedTable_.size()));
  }
  cachedTableIndex_ = tableIndex;
}

void VMDKSingleFileReader::failOnMissingData() {
  learnFileBytes();
  failOnMissing_ = true;
}

void VMDKSingleFileReader::learnFileBytes() {
  if (knowsFileBytes_) return;
  if (!platform::readableLength(fd_, &fileBytes_)) failRead();
  knowsFileBytes_ = true;
}

bool VMDKSingleFileReader::placeOfGrain(uint64_t grain, GrainPlace* place) {
  if (compressed_ || grain >= layout_.grainCount) return false;
  uint32_t sector = grainSector(grain / header_.numGTEsPerGT, grain % header_.numGTEsPerGT);
  if (sector == 0 || (sector == kZeroedGrainEntry && zeroedGrains_)) return false;
  learnFileBytes();
  uint64_t at = uint64_t{sector} * kSectorBytes;
  uint64_t bytes = grainBytesAt(grain);
  if (at >= fileBytes_ || bytes > fileBytes_ - at) return false;
  *place = GrainPlace{fd_, &path_, at, static_cast<uint32_t>(bytes)};
  return true;
}

uint64_t VMDKSingleFileReader::allocatedGrains() {
  uint64_t count = 0;
  for (uint64_t grain = 0; grain < layout_.grainCount; ++grain) {
    uint64_t table = grain / header_.numGTEsPerGT;
    // A table that is absent names none of its grains: skip it whole.
    if (grain % header_.numGTEsPerGT == 0 && directoryEntry(table) == 0) {
      grain += header_.numGTEsPerGT - 1;
      continue;
    }
    uint32_t sector = grainSector(table, grain % header_.numGTEsPerGT);
    if (sector != 0 && !(sector == kZeroedGrainEntry && zeroedGrains_)) ++count;
  }
  return count;
}

uint32_t VMDKSingleFileReader::grainSector(uint64_t tableIndex, uint64_t entryIndex) {
  if (tableIndex != cachedTableIndex_ || cachedTable_.empty()) loadTable(tableIndex);
  if (failOnMissing_ && (entryIndex + 1) * kEntryBytes > cachedTableHeld_) failRead();
  return getLittleEndian32(&cachedTable_[entryIndex * kEntryBytes]);
}

bool VMDKSingleFileReader::indexAvoids(uint64_t start, uint64_t end) const {
  auto overlaps = [start, end](uint64_t first, uint64_t count) {
    return first < end && start - std::min(start, first) < count;
  };
  uint64_t tables = divideRoundingUp(layout_.grainCount, header_.numGTEsPerGT);
  uint64_t directorySectors = divideRoundingUp(tables * kEntryBytes, kSectorBytes);
  uint64_t tableSectors =
      divideRoundingUp(uint64_t{header_.numGTEsPerGT} * kEntryBytes, kSectorBytes);
  uint64_t fileBytes = 0;
  platform::fileSizeOf(fd_, &fileBytes);
  std::vector<uint8_t> block(kDirectoryBlockEntries * kEntryBytes);
  for (uint64_t directory : {directorySector_, header_.rgdOffset}) {
    if (directory == 0) continue;
    if (overlaps(directory, directorySectors)) return false;
    // The entries the file holds; the rest read as absent.
    if (directory >= fileBytes / kSectorBytes) continue;
    uint64_t entries = std::min(tables, (fileBytes - directory * kSectorBytes) / kEntryBytes);
    for (uint64_t first = 0; first < entries; first += kDirectoryBlockEntries) {
      uint64_t count = std::min<uint64_t>(kDirectoryBlockEntries, entries - first);
      readAt(fd_, path_, directory * kSectorBytes + first * kEntryBytes, block.data(),
             static_cast<uint32_t>(count * kEntryBytes));
      for (uint64_t e = 0; e < count; ++e) {
        uint32_t table = getLittleEndian32(&block[e * kEntryBytes]);
        if (table != 0 && overlaps(table, tableSectors)) return false;
      }
    }
  }
  return true;
}

void VMDKSingleFileReader::releaseBuffers() {
  // swap() gives the memory back; clear() would keep it.
  std::vector<uint8_t>().swap(cachedTable_);
  std::vector<uint8_t>().swap(directoryBlock_);
  std::vector<uint8_t>().swap(stream_);
  std::vector<uint8_t>().swap(inflated_);
  cachedTableIndex_ = kNoTable;
}

uint32_t VMDKSingleFileReader::readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) {
  if (grain >= layout_.grainCount) return 0;
  uint32_t sector = grainSector(grain / header_.numGTEsPerGT, grain % header_.numGTEsPerGT);
  if (sector == 0) return 0;
  if (sector == kZeroedGrainEntry && zeroedGrains_) return kZeroedGrain;
  // The disk ends with its capacity: what the last grain holds beyond it is
  // no part of the disk, and a copy, rounded up to whole grains, reads zeros
  // there.
  uint64_t bytesLeft = (capacity_ - grain * kGrainSectors) * kSectorBytes;
  length = static_cast<uint32_t>(std::min<uint64_t>({length, bytesLeft, kGrainBytes}));
  if (compressed_) return readCompressedGrain(grain, sector, buffer, length);
  // A grain that starts inside the file may run past its end: writers may
  // leave the last grain unpadded, and what is missing there reads as zeros.
  if (failOnMissing_ && uint64_t{sector} * kSectorBytes >= fileBytes_) failRead();
  return readAt(fd_, path_, uint64_t{sector} * kSectorBytes, buffer, length);
}

uint32_t VMDKSingleFileReader::readCompressedGrain(uint64_t grain, uint32_t sector, uint8_t* buffer,
                                                   uint32_t length) {
  uint64_t at = uint64_t{sector} * kSectorBytes;
  uint8_t marker[kGrainMarkerBytes];
  if (readAt(fd_, path_, at, marker, sizeof marker) != sizeof marker) failRead();
  uint32_t size = decodeGrainMarker(marker).size;
  if (size == 0 || size > kMaxCompressedGrainBytes) failRead();
  stream_.resize(size);
  if (readAt(fd_, path_, at + kGrainMarkerBytes, stream_.data(), size) != size) failRead();

  inflated_.resize(kGrainBytes);
  std::optional<uint32_t> inflatedBytes =
      inflateGrain(stream_.data(), size, inflated_.data(), static_cast<uint32_t>(kGrainBytes));
  // Every grain inflates to a whole grain, but the last one of the disk may
  // stop at the capacity.
  uint64_t sectorsLeft = header_.capacity - grain * kGrainSectors;
  uint64_t needed = std::min(kGrainBytes, sectorsLeft * kSectorBytes);
  if (!inflatedBytes || *inflatedBytes < needed) failRead();
  uint32_t delivered = std::min(*inflatedBytes, length);
  std::memcpy(buffer, inflated_.data(), delivered);
  return delivered;
}

void VMDKSingleFileReader::refuseTruncatedFile() const {
  // overHead covers the header sector, the descriptor area and, but for a
  // stream, both directories and every table: a file that stops inside them
  // was cut short (a download that did not finish), and its missing tables
  // would read as a disk of zeros. The header sector counts even where the
  // cut left no overHead field to read.
  uint64_t fileBytes = 0;
  if (!platform::readableLength(fd_, &fileBytes)) failRead();
  if (fileBytes / kSectorBytes < std::max<uint64_t>(header_.overHead, 1)) {
    throw FatalError("Truncated image file " + path_);
  }
}

void VMDKSingleFileReader::failRead() const { throw FatalError("Failed to read file " + path_); }

}  // namespace skarvel
