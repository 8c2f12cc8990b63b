// Reading a ZERO extent: a run of the disk's sectors that reads as zeros and
// has no file behind it.
#ifndef SKARVEL_READER_ZERO_EXTENT_READER_H_
#define SKARVEL_READER_ZERO_EXTENT_READER_H_

#include "reader/vmdk_reader.h"

namespace skarvel {

class VMDKZeroExtentReader : public VMDKReader {
 public:
  // An extent of |sizeSectors| sectors; |path| names the descriptor file that
  // lists it, for messages.
  VMDKZeroExtentReader(const std::string& path, uint64_t sizeSectors);

  bool isMultiFile() const override { return false; }
  // kZeroedGrain for every grain of the extent, 0 past it.
  uint32_t readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) override;
};

}  // namespace skarvel

#endif  // SKARVEL_READER_ZERO_EXTENT_READER_H_
