// Writing a monolithic sparse file whose size is learnt only when its input
// ends (a raw disk read from standard input). Nothing that depends on the
// capacity can go before the grains, so the file is laid out as:
//
//   sector 0       header, written last
//   1 .. 20        the embedded descriptor, written last
//   128 onward     the grains of table 0 in index order, then table 0 twice
//                  (redundant copy, then primary copy, 4 sectors each), then
//                  the grains of table 1 and its two copies, and so on; a
//                  table without grains is left a hole that reads as zeros
//   then           the redundant grain directory, then the primary one
//
// Until the header is written the file has no magic and opens as no image,
// so a run that fails leaves nothing that reads as a disk.
#ifndef SKARVEL_WRITER_APPENDING_SPARSE_WRITER_H_
#define SKARVEL_WRITER_APPENDING_SPARSE_WRITER_H_

#include <functional>
#include <vector>

#include "writer/vmdk_writer.h"

namespace skarvel {

class VMDKAppendingSparseWriter : public VMDKWriter {
 public:
  using Describe = std::function<std::string(const SparseLayout&)>;
  // Takes ownership of |fd|, open read-write on an empty file at |path|.
  // |layout| bounds the grains taken until settleCapacity; describe(final
  // layout) is the descriptor text (it must fit 20 sectors).
  VMDKAppendingSparseWriter(int fd, const std::string& path, const SparseLayout& layout,
                            Describe describe);

  // Stores a whole grain: |data| cut to 65536 bytes, or padded with zeros.
  // Grains must come in increasing index order; one at or below a grain
  // already written, or anything that would lie at or past sector 2^32, is
  // a write failure. Failures show here or at the latest at close().
  void writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) override;
  // Writes the tables still due, the directories, then the descriptor and
  // the header, and closes the file.
  void close() override;

 private:
  // Appends the tables before table |end| that are not yet in the file.
  void placeTablesBefore(uint64_t end);
  void append(const uint8_t* data, size_t length);
  // Leaves |sectors| sectors of zeros, as a hole.
  void skip(uint64_t sectors);
  void flush();
  void writeDirectory();
  void writeHead();

  Describe describe_;
  uint64_t nextGrain_ = 0;         // lowest grain index still accepted
  uint64_t nextTable_ = 0;         // first table not yet in the file
  uint64_t nextSector_ = 0;        // where the next appended sector goes
  std::vector<uint8_t> gathered_;  // sectors to go at gatheredSector_
  uint64_t gatheredSector_ = 0;
  std::vector<uint8_t> table_;          // table nextTable_ as its bytes
  std::vector<uint32_t> tableSectors_;  // primary copy of each table placed
  uint64_t rgdOffset_ = 0;
  uint64_t gdOffset_ = 0;
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_APPENDING_SPARSE_WRITER_H_
