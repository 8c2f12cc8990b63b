// Reading one sparse extent file through its primary grain directory.
#ifndef SKARVEL_READER_SINGLE_FILE_READER_H_
#define SKARVEL_READER_SINGLE_FILE_READER_H_

#include "format/sparse_header.h"
#include "reader/vmdk_reader.h"

namespace skarvel {

class VMDKSingleFileReader : public VMDKReader {
 public:
  // Takes ownership of |fd|, an open sparse extent file at |path|, and reads
  // its header and any embedded descriptor. Bytes the file lacks read as 0.
  // Throws FatalError("Unsupported extent file " + path) when the file is
  // not a version-1 sparse extent, and FatalError("Invalid sparse extent
  // header in " + path) when its metadata would lie at or past sector 2^32.
  VMDKSingleFileReader(int fd, const std::string& path);

  bool isMultiFile() const override { return false; }
  uint32_t readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) override;

  const SparseExtentHeader& header() const { return header_; }

 private:
  // The 4-byte entry at byte |offset|; 0 when it cannot be read in full.
  uint32_t readEntry(uint64_t offset);

  SparseExtentHeader header_;
};

}  // namespace skarvel

#endif  // SKARVEL_READER_SINGLE_FILE_READER_H_
