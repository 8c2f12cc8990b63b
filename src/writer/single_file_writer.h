// Appending grains to a sparse extent file laid down by createSparseExtent.
//
// Grains go back to back after the data already in the file (from the
// overhead on for a new file), in call order; each grain's sector is
// recorded in both the redundant and the primary grain table. Table t of a
// directory lies at directory offset + directorySectors + 4t, so the
// directories are never read or rewritten.
//
// Writes are gathered: the table being filled is kept in memory and written
// (both copies) when a grain of another table arrives or at close, and
// consecutive grains go out in large writes, data always before the table
// entries that point to it. In-order writing, as copy does, thus writes each
// table once and never reads one back.
#ifndef SKARVEL_WRITER_SINGLE_FILE_WRITER_H_
#define SKARVEL_WRITER_SINGLE_FILE_WRITER_H_

#include <vector>

#include "format/sparse_header.h"
#include "writer/vmdk_writer.h"

namespace skarvel {

class VMDKSingleFileWriter : public VMDKWriter {
 public:
  // |fd| must be open read-write on a sparse extent file laid down for this
  // very |layout| (by createSparseExtent, possibly holding grains already).
  // REQUIRES: layout.wholeFileAddressable(), so no sector number wraps.
  VMDKSingleFileWriter(int fd, const std::string& path, const SparseLayout& layout);
  // Writes what is still gathered, as far as it can, and closes the file;
  // failures can no longer be reported here (close() reports them).
  ~VMDKSingleFileWriter() override;

  // Stores a whole grain: |data| cut to 65536 bytes, or padded with zeros. A
  // grain that would end past sector 2^32 is a write failure, never a
  // wrapped sector number. Failures show here or at the latest at close().
  void writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) override;
  // Writes the gathered grains and table, then closes the file.
  void close() override;

  // Sector at which the next grain's data goes; starts at the end of the
  // data in the file (the overhead for a new file).
  uint64_t nextFreeSector() const { return nextFreeSector_; }

 private:
  void flushGrains();
  void flushTable();
  // Makes |table_| hold table |index|, written back first if it changed.
  void useTable(uint64_t index);
  void writeAt(uint64_t offset, const uint8_t* data, size_t length);
  uint64_t tableOffset(uint64_t directoryOffset, uint64_t index) const;

  SparseExtentHeader header_;
  uint64_t nextFreeSector_;

  std::vector<uint8_t> grains_;  // gathered grain data, to go at sector grainsSector_
  uint64_t grainsSector_ = 0;

  static constexpr uint64_t kNoTable = ~uint64_t{0};
  std::vector<uint8_t> table_;  // table tableIndex_ as its on-disk bytes
  uint64_t tableIndex_ = kNoTable;
  bool tableChanged_ = false;
  // Tables from this index on have never been written by this writer.
  uint64_t firstUntouchedTable_ = 0;
  // True when the file held grains before this writer (its tables may hold
  // entries anywhere).
  bool heldGrains_ = false;
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_SINGLE_FILE_WRITER_H_
