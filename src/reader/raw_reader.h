// Reading a raw disk: a plain file that holds the disk's bytes from its
// first, as `dd` and cloud image downloads make them.
#ifndef SKARVEL_READER_RAW_READER_H_
#define SKARVEL_READER_RAW_READER_H_

#include "reader/flat_extent_reader.h"

namespace skarvel {

class VMDKRawReader : public VMDKFlatExtentReader {
 public:
  // Takes ownership of |fd|, open on the file at |path| of |lengthBytes|
  // bytes. The capacity is the length in sectors, a partial last sector
  // counted as a whole one that ends in zeros. The descriptor is that of a
  // new image (createType "raw") and the layout that of a single sparse file
  // of the capacity, as a copy makes. REQUIRES: lengthBytes > 0.
  VMDKRawReader(int fd, const std::string& path, uint64_t lengthBytes);

  // Names the kind of plain disk in the createType its reports show ("vhd").
  void setCreateType(const std::string& kind) { descriptor_.createType = kind; }
};

}  // namespace skarvel

#endif  // SKARVEL_READER_RAW_READER_H_
