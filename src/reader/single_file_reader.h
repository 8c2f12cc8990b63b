// Reading one sparse extent file through its primary grain directory.
#ifndef SKARVEL_READER_SINGLE_FILE_READER_H_
#define SKARVEL_READER_SINGLE_FILE_READER_H_

#include <vector>

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
  // The sector of grain |entryIndex| of table |tableIndex|; 0 when absent.
  uint32_t grainSector(uint64_t tableIndex, uint64_t entryIndex);
  // Makes |cachedTable_| hold table |tableIndex| (all zero when absent).
  void loadTable(uint64_t tableIndex);

  SparseExtentHeader header_;
  // The grain table last looked up. Grains are mostly read in index order,
  // so one read per table replaces two entry reads per grain; tables larger
  // than usual (an odd numGTEsPerGT) are looked up entry by entry instead.
  static constexpr uint64_t kNoTable = ~uint64_t{0};
  uint64_t cachedTableIndex_ = kNoTable;
  std::vector<uint32_t> cachedTable_;
};

}  // namespace skarvel

#endif  // SKARVEL_READER_SINGLE_FILE_READER_H_
