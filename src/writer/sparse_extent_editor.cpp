#include "writer/sparse_extent_editor.h"

#include <algorithm>

#include "base/byte_order.h"
#include "base/fatal_error.h"
#include "base/numbers.h"
#include "base/zeros.h"
#include "platform/file.h"

namespace skarvel {

SparseExtentHeader readEditableHeader(int fd, const std::string& path) {
  HeaderBytes bytes;
  if (platform::readFileAt(fd, 0, bytes.data(), static_cast<uint32_t>(bytes.size())) !=
      static_cast<int64_t>(bytes.size())) {
    throw FatalError("Failed to read file " + path);
  }
  SparseExtentHeader header = decodeHeader(bytes);
  if ((header.flags & kHeaderFlagCompressedGrains) != 0 || header.gdOffset == kDirectoryInFooter ||
      header.numGTEsPerGT == 0) {
    throw FatalError("Unsupported image file " + path);
  }
  return header;
}

SparseExtentEditor::SparseExtentEditor(int fd, std::string path)
    : fd_(fd), path_(std::move(path)), header_(readEditableHeader(fd_, path_)) {
  // Every other place is a 32-bit entry's sector, so byte offsets stay
  // below 2^41 and never wrap.
  for (uint64_t directory : directories()) {
    if (directory >= kSectorLimit) throw FatalError("Damaged image file " + path_);
  }
  tableSectors_ = divideRoundingUp(uint64_t{header_.numGTEsPerGT} * kEntryBytes, kSectorBytes);
}

bool SparseExtentEditor::hasRedundantDirectory() const {
  return (header_.flags & kHeaderFlagRedundantDirectory) != 0 && header_.rgdOffset != 0;
}

std::vector<uint64_t> SparseExtentEditor::directories() const {
  if (!hasRedundantDirectory()) return {header_.gdOffset};
  return {header_.gdOffset, header_.rgdOffset};
}

uint64_t SparseExtentEditor::tablesFor(uint64_t capacity) const {
  return divideRoundingUp(divideRoundingUp(capacity, kGrainSectors), header_.numGTEsPerGT);
}

uint32_t SparseExtentEditor::directoryEntry(uint64_t directory, uint64_t index) {
  uint8_t entry[kEntryBytes];
  readAt(directory * kSectorBytes + index * kEntryBytes, entry, sizeof entry);
  return getLittleEndian32(entry);
}

uint64_t SparseExtentEditor::endSector() {
  if (endSector_ != 0) return endSector_;
  uint64_t fileBytes = 0;
  if (!platform::fileSizeOf(fd_, &fileBytes)) throw FatalError("Failed to read file " + path_);
  uint64_t end = divideRoundingUp(fileBytes, kSectorBytes);
  const uint64_t grains = divideRoundingUp(header_.capacity, kGrainSectors);
  const uint64_t perTable = header_.numGTEsPerGT;
  const bool zeroed = (header_.flags & kHeaderFlagZeroedGrains) != 0;
  std::vector<uint8_t> table(perTable * kEntryBytes);
  for (uint64_t directory : directories()) {
    for (uint64_t t = 0; t < tablesFor(header_.capacity); ++t) {
      uint64_t tableSector = directoryEntry(directory, t);
      if (tableSector == 0) continue;
      end = std::max(end, tableSector + tableSectors_);
      readAt(tableSector * kSectorBytes, table.data(), static_cast<uint32_t>(table.size()));
      for (uint64_t e = 0; e < perTable && t * perTable + e < grains; ++e) {
        uint64_t grainSector = getLittleEndian32(&table[e * kEntryBytes]);
        if (grainSector == 0 || (zeroed && grainSector == kZeroedGrainEntry)) continue;
        end = std::max(end, grainSector + kGrainSectors);
      }
    }
  }
  endSector_ = end;
  return endSector_;
}

void SparseExtentEditor::addGrain(uint64_t grain, const uint8_t* data, uint32_t length) {
  std::vector<uint8_t> whole(kGrainBytes, 0);
  std::copy_n(data, std::min<uint64_t>(length, kGrainBytes), whole.begin());
  uint64_t sector = endSector();
  if (sector + kGrainSectors > kSectorLimit) failWrite();
  writeAt(sector * kSectorBytes, whole.data(), static_cast<uint32_t>(whole.size()));
  endSector_ += kGrainSectors;

  uint64_t index = grain / header_.numGTEsPerGT;
  uint8_t entry[kEntryBytes];
  putLittleEndian32(entry, static_cast<uint32_t>(sector));
  // The redundant copy first: until the primary names the grain, no reader
  // sees it.
  std::vector<uint64_t> copies = directories();
  std::reverse(copies.begin(), copies.end());
  for (uint64_t directory : copies) {
    uint64_t table = directoryEntry(directory, index);
    bool newTable = table == 0;
    if (newTable) table = allocate(tableSectors_);
    writeAt(table * kSectorBytes + (grain % header_.numGTEsPerGT) * kEntryBytes, entry,
            sizeof entry);
    if (newTable) {
      uint8_t named[kEntryBytes];
      putLittleEndian32(named, static_cast<uint32_t>(table));
      writeAt(directory * kSectorBytes + index * kEntryBytes, named, sizeof named);
    }
  }
}

void SparseExtentEditor::clearEntriesPastCapacity() {
  const uint64_t perTable = header_.numGTEsPerGT;
  const uint64_t tables = tablesFor(header_.capacity);
  if (tables == 0) return;
  // Entries of the last table that today's grains use; the rest are stale.
  const uint64_t used = divideRoundingUp(header_.capacity, kGrainSectors) - (tables - 1) * perTable;
  if (used == perTable) return;
  std::vector<uint8_t> entries((perTable - used) * kEntryBytes);
  for (uint64_t directory : directories()) {
    uint64_t table = directoryEntry(directory, tables - 1);
    if (table == 0) continue;
    uint64_t at = table * kSectorBytes + used * kEntryBytes;
    readAt(at, entries.data(), static_cast<uint32_t>(entries.size()));
    if (allZeros(entries.data(), entries.size())) continue;
    std::fill(entries.begin(), entries.end(), 0);
    writeAt(at, entries.data(), static_cast<uint32_t>(entries.size()));
  }
}

void SparseExtentEditor::prepareCapacity(uint64_t capacity) {
  clearEntriesPastCapacity();
  uint64_t oldTables = tablesFor(header_.capacity);
  uint64_t tables = tablesFor(capacity);
  // A directory fills whole sectors: entries up to the end of its last
  // sector are its own, and zero until used.
  uint64_t room = divideRoundingUp(oldTables * kEntryBytes, kSectorBytes) * kEntriesPerSector;
  auto extend = [&](uint64_t& directory) {
    if (tables > room) directory = moveDirectory(directory, oldTables, tables);
    uint64_t first = allocate((tables - oldTables) * tableSectors_);
    std::vector<uint8_t> entries((tables - oldTables) * kEntryBytes);
    for (uint64_t t = 0; t < tables - oldTables; ++t) {
      putLittleEndian32(&entries[t * kEntryBytes],
                        static_cast<uint32_t>(first + t * tableSectors_));
    }
    writeAt(directory * kSectorBytes + oldTables * kEntryBytes, entries.data(),
            static_cast<uint32_t>(entries.size()));
  };
  if (hasRedundantDirectory()) extend(header_.rgdOffset);
  extend(header_.gdOffset);
  if (!platform::syncFile(fd_)) failWrite();
  header_.capacity = capacity;
}

uint64_t SparseExtentEditor::moveDirectory(uint64_t directory, uint64_t oldTables,
                                           uint64_t tables) {
  std::vector<uint8_t> entries(oldTables * kEntryBytes);
  readAt(directory * kSectorBytes, entries.data(), static_cast<uint32_t>(entries.size()));
  uint64_t moved = allocate(divideRoundingUp(tables * kEntryBytes, kSectorBytes));
  writeAt(moved * kSectorBytes, entries.data(), static_cast<uint32_t>(entries.size()));
  return moved;
}

void SparseExtentEditor::markUnclean() {
  if (marked_) return;
  if (header_.uncleanShutdown == 0) writeUncleanShutdown(fd_, path_, true);
  header_.uncleanShutdown = 1;
  marked_ = true;
}

void SparseExtentEditor::markClean() {
  if (!marked_) return;
  writeUncleanShutdown(fd_, path_, false);
  header_.uncleanShutdown = 0;
  marked_ = false;
}

void SparseExtentEditor::commitHeader(const std::vector<uint8_t>& following) {
  header_.uncleanShutdown = 0;
  HeaderBytes header = encodeHeader(header_);
  std::vector<uint8_t> bytes(header.begin(), header.end());
  if (!following.empty()) {
    // The rest of sector 0 stays as it is, between the record and sector 1.
    bytes.resize(kSectorBytes);
    readAt(header.size(), &bytes[header.size()],
           static_cast<uint32_t>(kSectorBytes - header.size()));
    bytes.insert(bytes.end(), following.begin(), following.end());
  }
  writeAt(0, bytes.data(), static_cast<uint32_t>(bytes.size()));
  if (!platform::syncFile(fd_)) failWrite();
  marked_ = false;
}

uint64_t SparseExtentEditor::allocate(uint64_t sectors) {
  uint64_t first = endSector();
  // Every sector must stay one that a 32-bit entry can name.
  if (sectors > kSectorLimit - first) failWrite();
  endSector_ += sectors;
  markUnclean();
  if (!platform::setFileSize(fd_, endSector_ * kSectorBytes)) failWrite();
  return first;
}

void SparseExtentEditor::readAt(uint64_t offset, void* data, uint32_t length) {
  if (platform::readFileAt(fd_, offset, data, length) != length) {
    throw FatalError("Failed to read file " + path_);
  }
}

void SparseExtentEditor::writeAt(uint64_t offset, const void* data, uint32_t length) {
  markUnclean();
  if (!platform::writeFileAt(fd_, offset, data, length)) failWrite();
}

void SparseExtentEditor::failWrite() const { throw FatalError("Failed to write file " + path_); }

void writeUncleanShutdown(int fd, const std::string& path, bool unclean) {
  const uint8_t mark = unclean ? 1 : 0;
  // What the mark covers reaches the disk before it is cleared.
  if ((!unclean && !platform::syncFile(fd)) ||
      !platform::writeFileAt(fd, kUncleanShutdownOffset, &mark, sizeof mark) ||
      !platform::syncFile(fd)) {
    throw FatalError("Failed to write file " + path);
  }
}

}  // namespace skarvel
