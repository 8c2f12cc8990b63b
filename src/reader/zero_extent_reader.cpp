#include "reader/zero_extent_reader.h"

namespace skarvel {

VMDKZeroExtentReader::VMDKZeroExtentReader(const std::string& path, uint64_t sizeSectors)
    : VMDKReader(-1, path) {
  capacity_ = sizeSectors;
  layout_ = computeLayout(capacity_, 0);
}

uint32_t VMDKZeroExtentReader::readGrain(uint64_t grain, uint8_t*, uint32_t) {
  return grain < layout_.grainCount ? kZeroedGrain : 0;
}

}  // namespace skarvel
