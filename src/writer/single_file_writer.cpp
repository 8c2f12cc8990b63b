#include "writer/single_file_writer.h"

#include <algorithm>
#include <vector>

#include "platform/file.h"

namespace skarvel {

VMDKSingleFileWriter::VMDKSingleFileWriter(int fd, const std::string& path,
                                           const SparseLayout& layout)
    : VMDKWriter(fd, path, layout) {
  layout_.fillHeader(header_);
  nextFreeSector_ = header_.overHead;
}

void VMDKSingleFileWriter::writeEntryAt(uint64_t directoryOffset, uint64_t table, uint64_t entry) {
  uint64_t tableSector = directoryOffset + layout_.directorySectors + kTableSectors * table;
  uint8_t bytes[kEntryBytes];
  putLittleEndian32(bytes, static_cast<uint32_t>(nextFreeSector_));
  if (!platform::seekFile64(fd_, tableSector * kSectorBytes + entry * kEntryBytes) ||
      !platform::writeFile(fd_, bytes, sizeof bytes)) {
    failWrite();
  }
}

void VMDKSingleFileWriter::writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) {
  if (grain >= layout_.grainCount) return;
  if (nextFreeSector_ + header_.grainSize > kSectorLimit) failWrite();
  uint64_t table = grain / header_.numGTEsPerGT;
  uint64_t entry = grain % header_.numGTEsPerGT;
  writeEntryAt(header_.rgdOffset, table, entry);
  writeEntryAt(header_.gdOffset, table, entry);

  uint32_t grainLength = static_cast<uint32_t>(header_.grainSize * kSectorBytes);
  uint32_t stored = std::min(length, grainLength);
  if (!platform::seekFile64(fd_, nextFreeSector_ * kSectorBytes)) failWrite();
  if (stored > 0 && !platform::writeFile(fd_, data, stored)) failWrite();
  if (stored < grainLength) {
    std::vector<uint8_t> zeros(grainLength - stored, 0);
    if (!platform::writeFile(fd_, zeros.data(), static_cast<uint32_t>(zeros.size()))) failWrite();
  }
  nextFreeSector_ += header_.grainSize;
}

}  // namespace skarvel
