#include "writer/sequential_raw_writer.h"

#include <algorithm>
#include <vector>

#include "platform/file.h"

namespace skarvel {

namespace {

constexpr uint64_t kZeroBlockBytes = 16 * kGrainBytes;

}  // namespace

VMDKSequentialRawWriter::VMDKSequentialRawWriter(int fd, const std::string& path,
                                                 const SparseLayout& layout,
                                                 std::vector<uint8_t> trailer)
    : VMDKWriter(fd, path, layout), trailer_(std::move(trailer)) {}

void VMDKSequentialRawWriter::writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) {
  uint64_t capacity = layout_.capacitySectors() * kSectorBytes;
  uint64_t start = grain * kGrainBytes;
  if (start >= capacity) return;
  if (start < position_) failWrite();
  zeroUpTo(start);
  write(data, std::min<uint64_t>({length, kGrainBytes, capacity - start}));
}

void VMDKSequentialRawWriter::close() {
  if (fd_ >= 0) {
    zeroUpTo(layout_.capacitySectors() * kSectorBytes);
    if (!trailer_.empty()) write(trailer_.data(), trailer_.size());
  }
  VMDKWriter::close();
}

void VMDKSequentialRawWriter::zeroUpTo(uint64_t end) {
  static const std::vector<uint8_t> zeros(kZeroBlockBytes, 0);
  while (position_ < end) write(zeros.data(), std::min(kZeroBlockBytes, end - position_));
}

void VMDKSequentialRawWriter::write(const uint8_t* data, uint64_t length) {
  if (!platform::writeFile(fd_, data, static_cast<uint32_t>(length))) failWrite();
  position_ += length;
}

}  // namespace skarvel
