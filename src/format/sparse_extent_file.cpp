#include "format/sparse_extent_file.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/byte_order.h"
#include "base/fatal_error.h"
#include "base/numbers.h"
#include "format/descriptor.h"
#include "format/sparse_header.h"
#include "platform/file.h"

namespace skarvel {

namespace {

// Lays the file down sector by sector in file order. Sectors that hold data
// are collected and written in large runs. Runs of zero sectors are not
// written at all when the file could be sized up front (they read as zeros,
// as holes that take no space); a file that cannot be sized, such as a
// device, gets them written, so that every byte lands as it would by one
// write per sector.
class SectorSink {
 public:
  SectorSink(int fd, const std::string& path, uint64_t totalSectors) : fd_(fd), path_(path) {
    holes_ = platform::setFileSize(fd, totalSectors * kSectorBytes);
    buffer_.reserve(kFlushBytes);
  }

  // Appends one zeroed sector and returns it for filling.
  uint8_t* nextSector() {
    if (buffer_.size() == kFlushBytes) flush();
    buffer_.resize(buffer_.size() + kSectorBytes, 0);
    return buffer_.data() + buffer_.size() - kSectorBytes;
  }

  // Appends |count| sectors of zeros.
  void zeroSectors(uint64_t count) {
    if (!holes_) {
      for (uint64_t i = 0; i < count; ++i) nextSector();
      return;
    }
    flush();
    position_ += count * kSectorBytes;
  }

  void flush() {
    if (buffer_.empty()) return;
    if (!platform::writeFileAt(fd_, position_, buffer_.data(),
                               static_cast<uint32_t>(buffer_.size()))) {
      platform::closeFile(fd_);
      throw FatalError("Failed to write file " + path_);
    }
    position_ += buffer_.size();
    buffer_.clear();
  }

  uint64_t sectorsWritten() const { return (position_ + buffer_.size()) / kSectorBytes; }

  // Leaves the file position at the end of what was laid down.
  void finish() {
    flush();
    platform::seekFile64(fd_, position_);
  }

 private:
  static constexpr size_t kFlushBytes = 1 << 20;
  int fd_;
  const std::string& path_;
  bool holes_ = false;
  std::vector<uint8_t> buffer_;
  uint64_t position_ = 0;  // byte offset of the buffer's first sector
};

// One grain directory: entry t names the sector of table t, the tables lying
// back to back after the directory. The tables themselves are all zero.
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

// The descriptor area: the text from its first sector on, then zeros.
void writeDescriptorArea(SectorSink& sink, const SparseLayout& layout, const char* text,
                         uint32_t length) {
  uint64_t textSectors =
      std::min<uint64_t>(divideRoundingUp(length, kSectorBytes), layout.descriptorSectors);
  for (uint64_t s = 0; s < textSectors; ++s) {
    uint32_t n = std::min<uint32_t>(length, kSectorBytes);
    std::memcpy(sink.nextSector(), text, n);
    text += n;
    length -= n;
  }
  sink.zeroSectors(layout.descriptorSectors - textSectors);
}

}  // namespace

int createSparseExtent(const std::string& path, const SparseLayout& layout,
                       const char* descriptorText, uint32_t descriptorLength) {
  uint64_t areaBytes = layout.descriptorSectors * kSectorBytes;
  if (descriptorText != nullptr && layout.descriptorSectors != 0) {
    checkDescriptorFits(std::string(descriptorText, descriptorLength), path, areaBytes);
  }
  int fd = platform::openFile(path, platform::kOpenBinary | platform::kOpenReadWrite |
                                        platform::kOpenCreate | platform::kOpenTruncate |
                                        platform::kOpenLockWrite);
  if (fd == platform::kFileInUse) throw FatalError("File is in use " + path);
  if (fd < 0) throw FatalError("Failed to create file " + path);

  SparseExtentHeader header;
  layout.fillHeader(header);
  SectorSink sink(fd, path, layout.overhead);
  HeaderBytes headerBytes = encodeHeader(header);
  std::memcpy(sink.nextSector(), headerBytes.data(), headerBytes.size());
  writeDescriptorArea(sink, layout, descriptorText,
                      descriptorText != nullptr ? descriptorLength : 0);
  writeDirectory(sink, header.rgdOffset, layout);
  writeDirectory(sink, header.gdOffset, layout);
  sink.zeroSectors((kGrainSectors - sink.sectorsWritten() % kGrainSectors) % kGrainSectors);
  sink.finish();
  return fd;
}

}  // namespace skarvel
