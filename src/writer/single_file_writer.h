// Appending grains to a sparse extent file laid down by createSparseExtent.
//
// Grains go back to back from the overhead on, in call order; each write
// records the grain's sector in both the redundant and the primary grain
// table. Table t of a directory lies at directory offset + directorySectors
// + 4t, so the directories are never read or rewritten.
#ifndef SKARVEL_WRITER_SINGLE_FILE_WRITER_H_
#define SKARVEL_WRITER_SINGLE_FILE_WRITER_H_

#include "format/sparse_header.h"
#include "writer/vmdk_writer.h"

namespace skarvel {

class VMDKSingleFileWriter : public VMDKWriter {
 public:
  // |fd| must come from createSparseExtent for this very |layout|.
  // REQUIRES: layout.wholeFileAddressable(), so no sector number wraps.
  VMDKSingleFileWriter(int fd, const std::string& path, const SparseLayout& layout);

  // Writes a whole grain: |data| cut to 65536 bytes, or padded with zeros.
  // A grain that would end past sector 2^32 is a write failure, never a
  // wrapped sector number.
  void writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) override;

  // Sector at which the next grain's data goes; starts at the overhead.
  uint64_t nextFreeSector() const { return nextFreeSector_; }

 private:
  void writeEntryAt(uint64_t directoryOffset, uint64_t table, uint64_t entry);

  SparseExtentHeader header_;
  uint64_t nextFreeSector_;
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_SINGLE_FILE_WRITER_H_
