#include "reader/raw_reader.h"

#include "base/numbers.h"

namespace skarvel {

VMDKRawReader::VMDKRawReader(int fd, const std::string& path, uint64_t lengthBytes)
    : VMDKFlatExtentReader(fd, path, divideRoundingUp(lengthBytes, kSectorBytes), 0) {
  descriptor_.createType = "raw";
  layout_ = computeLayout(capacity_, 1);
}

}  // namespace skarvel
