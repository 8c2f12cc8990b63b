#include "format/sparse_extent_file.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/fatal_error.h"
#include "format/descriptor.h"
#include "format/sparse_header.h"
#include "platform/file.h"

namespace skarvel {

namespace {

// Collects whole sectors and writes them in large runs; the bytes on disk are
// the same as one write per sector, with far fewer calls for big tables.
class SectorSink {
 public:
  SectorSink(int fd, const std::string& path) : fd_(fd), path_(path) {
    buffer_.reserve(kFlushBytes);
  }

  // Appends one zeroed sector and returns it for filling.
  uint8_t* nextSector() {
    if (buffer_.size() == kFlushBytes) flush();
    buffer_.resize(buffer_.size() + kSectorBytes, 0);
    ++sectorsWritten_;
    return buffer_.data() + buffer_.size() - kSectorBytes;
  }

  void zeroSectors(uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) nextSector();
  }

  void flush() {
    if (!buffer_.empty() &&
        !platform::writeFile(fd_, buffer_.data(), static_cast<uint32_t>(buffer_.size()))) {
      platform::closeFile(fd_);
      throw FatalError("Failed to write file " + path_);
    }
    buffer_.clear();
  }

  uint64_t sectorsWritten() const { return sectorsWritten_; }

 private:
  static constexpr size_t kFlushBytes = 1 << 20;
  int fd_;
  const std::string& path_;
  std::vector<uint8_t> buffer_;
  uint64_t sectorsWritten_ = 0;
};

// One grain directory: entry t names the sector of table t, the tables lying
// back to back after the directory.
void writeDirectory(SectorSink& sink, uint64_t directoryOffset, const SparseLayout& layout) {
  uint64_t firstTable = directoryOffset + layout.directorySectors;
  uint64_t table = 0;
  for (uint64_t s = 0; s < layout.directorySectors; ++s) {
    uint8_t* sector = sink.nextSector();
    for (uint64_t e = 0; e < kEntriesPerSector && table < layout.grainTableCount; ++e, ++table) {
      putLittleEndian32(sector + e * kEntryBytes,
                        static_cast<uint32_t>(firstTable + kTableSectors * table));
    }
  }
  sink.zeroSectors(kTableSectors * layout.grainTableCount);
}

}  // namespace

int createSparseExtent(const std::string& path, const SparseLayout& layout,
                       const char* descriptorText, uint32_t descriptorLength) {
  uint64_t areaBytes = layout.descriptorSectors * kSectorBytes;
  if (descriptorText != nullptr && layout.descriptorSectors != 0) {
    checkDescriptorFits(std::string(descriptorText, descriptorLength), path, areaBytes);
  }
  int fd = platform::openFile(path, platform::kOpenBinary | platform::kOpenReadWrite |
                                        platform::kOpenCreate | platform::kOpenTruncate);
  if (fd < 0) throw FatalError("Failed to create file " + path);

  SparseExtentHeader header;
  layout.fillHeader(header);
  SectorSink sink(fd, path);
  HeaderBytes headerBytes = encodeHeader(header);
  std::memcpy(sink.nextSector(), headerBytes.data(), headerBytes.size());

  uint32_t remaining = descriptorText != nullptr ? descriptorLength : 0;
  const char* text = descriptorText;
  for (uint64_t s = 0; s < layout.descriptorSectors; ++s) {
    uint8_t* sector = sink.nextSector();
    uint32_t n = std::min<uint32_t>(remaining, kSectorBytes);
    if (n == 0) continue;
    std::memcpy(sector, text, n);
    text += n;
    remaining -= n;
  }

  writeDirectory(sink, header.rgdOffset, layout);
  writeDirectory(sink, header.gdOffset, layout);
  sink.zeroSectors((kGrainSectors - sink.sectorsWritten() % kGrainSectors) % kGrainSectors);
  sink.flush();
  return fd;
}

}  // namespace skarvel
