#include "reader/raw_pipe_reader.h"

#include <algorithm>

#include "base/fatal_error.h"
#include "base/numbers.h"
#include "base/zeros.h"
#include "platform/file.h"

namespace skarvel {

VMDKRawPipeReader::VMDKRawPipeReader(int fd, const std::string& path, uint64_t limitSectors)
    : VMDKReader(fd, path) {
  descriptor_.createType = "raw";
  capacity_ = limitSectors;
  layout_ = computeLayout(capacity_, 1);
}

uint32_t VMDKRawPipeReader::readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) {
  if (grain != nextGrain_) throw FatalError("Failed to read file " + path_);
  if (ended_) return 0;
  ++nextGrain_;
  // A short count means the stream ended (readFile retries partial reads).
  uint32_t wanted = static_cast<uint32_t>(std::min<uint64_t>(length, kGrainBytes));
  int64_t n = platform::readFile(fd_, buffer, wanted);
  if (n < 0) throw FatalError("Failed to read file " + path_);
  bytesRead_ += static_cast<uint64_t>(n);
  if (static_cast<uint32_t>(n) < wanted) {
    ended_ = true;
    capacity_ = divideRoundingUp(bytesRead_, kSectorBytes);
    layout_ = computeLayout(capacity_, 1);
  }
  if (n == 0) return 0;
  bool allZero = allZeros(buffer, n);
  return allZero ? kZeroedGrain : static_cast<uint32_t>(n);
}

}  // namespace skarvel
