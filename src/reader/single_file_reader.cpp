#include "reader/single_file_reader.h"

#include "base/fatal_error.h"

namespace skarvel {

namespace {

// Sector numbers from the header must leave byte offsets that 64 bits hold
// and name places a 32-bit entry could also name.
bool headerIsSane(const SparseExtentHeader& header, const SparseLayout& layout) {
  if (!layout.metadataAddressable()) return false;
  if (header.gdOffset >= kSectorLimit) return false;
  return !header.hasEmbeddedDescriptor() || header.descriptorOffset < kSectorLimit;
}

// Tables up to this many entries are read whole (16 KiB; the usual is 512).
constexpr uint32_t kMaxCachedTableEntries = 4096;

}  // namespace

VMDKSingleFileReader::VMDKSingleFileReader(int fd, const std::string& path) : VMDKReader(fd, path) {
  HeaderBytes bytes{};
  readAt(fd_, path_, 0, bytes.data(), static_cast<uint32_t>(bytes.size()));
  header_ = decodeHeader(bytes);
  if (header_.magicNumber != kSparseMagic || header_.version != kSparseVersion) {
    throw FatalError("Unsupported extent file " + path_);
  }
  bool embedded = header_.hasEmbeddedDescriptor();
  layout_ = computeLayout(header_.capacity, embedded ? 1 : 0);
  if (!headerIsSane(header_, layout_)) throw FatalError("Invalid sparse extent header in " + path_);
  if (embedded) readDescriptor(header_.descriptorOffset, nullptr);
  capacity_ = header_.capacity;
}

uint32_t VMDKSingleFileReader::readEntry(uint64_t offset) {
  uint8_t entry[kEntryBytes];
  if (readAt(fd_, path_, offset, entry, sizeof entry) != sizeof entry) return 0;
  return getLittleEndian32(entry);
}

void VMDKSingleFileReader::loadTable(uint64_t tableIndex) {
  cachedTableIndex_ = tableIndex;
  cachedTable_.assign(header_.numGTEsPerGT, 0);
  uint32_t table = readEntry(header_.gdOffset * kSectorBytes + tableIndex * kEntryBytes);
  if (table == 0) return;
  std::vector<uint8_t> bytes(cachedTable_.size() * kEntryBytes);
  uint32_t n = readAt(fd_, path_, uint64_t{table} * kSectorBytes, bytes.data(),
                      static_cast<uint32_t>(bytes.size()));
  // Entries the file does not hold in full count as absent.
  for (uint64_t e = 0; (e + 1) * kEntryBytes <= n; ++e) {
    cachedTable_[e] = getLittleEndian32(&bytes[e * kEntryBytes]);
  }
}

uint32_t VMDKSingleFileReader::grainSector(uint64_t tableIndex, uint64_t entryIndex) {
  if (header_.numGTEsPerGT <= kMaxCachedTableEntries) {
    if (tableIndex != cachedTableIndex_) loadTable(tableIndex);
    return cachedTable_[entryIndex];
  }
  uint32_t table = readEntry(header_.gdOffset * kSectorBytes + tableIndex * kEntryBytes);
  if (table == 0) return 0;
  return readEntry(uint64_t{table} * kSectorBytes + entryIndex * kEntryBytes);
}

uint32_t VMDKSingleFileReader::readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) {
  if (grain >= layout_.grainCount || header_.numGTEsPerGT == 0) return 0;
  uint32_t sector = grainSector(grain / header_.numGTEsPerGT, grain % header_.numGTEsPerGT);
  if (sector == 0) return 0;
  uint32_t grainLength = static_cast<uint32_t>(header_.grainSize * kSectorBytes);
  return readAt(fd_, path_, uint64_t{sector} * kSectorBytes, buffer, std::min(grainLength, length));
}

}  // namespace skarvel
