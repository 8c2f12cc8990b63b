#include "writer/flat_extent_puncher.h"

#include <algorithm>
#include <vector>

#include "base/fatal_error.h"
#include "base/numbers.h"
#include "base/zeros.h"
#include "format/units.h"
#include "platform/file.h"

namespace skarvel {

namespace {

// Grains of zeros found one after another, punched in one call.
class HoleRun {
 public:
  HoleRun(int fd, const std::string& path) : fd_(fd), path_(path) {}

  void add(uint64_t offset, uint64_t length) {
    if (length_ != 0 && offset != offset_ + length_) flush();
    if (length_ == 0) offset_ = offset;
    length_ += length;
    ++pending_;
  }

  // Counts the grains only where the range reads as a hole afterwards: a
  // file system without holes keeps the zeros, and gives nothing back.
  void flush() {
    if (length_ != 0 && !platform::punchHole(fd_, offset_, length_)) {
      throw FatalError("Failed to write file " + path_);
    }
    uint64_t dataBegin = 0, dataEnd = 0;
    if (length_ != 0 && platform::findData(fd_, offset_, &dataBegin, &dataEnd) &&
        dataBegin >= offset_ + length_) {
      grains_ += pending_;
    }
    length_ = 0;
    pending_ = 0;
  }

  uint64_t grains() const { return grains_; }

 private:
  int fd_;
  const std::string& path_;
  uint64_t offset_ = 0;
  uint64_t length_ = 0;
  uint64_t pending_ = 0;  // grains of the run not punched yet
  uint64_t grains_ = 0;
};

}  // namespace

uint64_t punchZeroGrains(int fd, const std::string& path, uint64_t first, uint64_t bytes,
                         const std::function<void()>& step) {
  const uint64_t grains = divideRoundingUp(bytes, kGrainBytes);
  std::vector<uint8_t> grain(kGrainBytes);
  HoleRun run(fd, path);
  // The run of data the file system reported last: [dataBegin, dataEnd).
  uint64_t dataBegin = 0, dataEnd = 0;
  for (uint64_t g = 0; g < grains; ++g) {
    const uint64_t at = first + g * kGrainBytes;
    const uint64_t length = std::min(kGrainBytes, bytes - g * kGrainBytes);
    step();
    if (at >= dataEnd && !platform::findData(fd, at, &dataBegin, &dataEnd)) {
      dataBegin = at;
      dataEnd = platform::kNoDataAfter;
    }
    // A grain wholly in a hole is one already.
    if (dataBegin >= at + length) continue;
    int64_t n = platform::readFileAt(fd, at, grain.data(), static_cast<uint32_t>(length));
    if (n < 0) throw FatalError("Failed to read file " + path);
    // Only what the file holds; past its end there is nothing to give back.
    if (n > 0 && allZeros(grain.data(), static_cast<size_t>(n))) {
      run.add(at, static_cast<uint64_t>(n));
    }
  }
  run.flush();
  if (!platform::syncFile(fd)) throw FatalError("Failed to write file " + path);
  return run.grains();
}

}  // namespace skarvel
