// Writing a raw disk to a stream that cannot seek (a pipe, standard
// output): every byte of the disk in order, zeros written where a file
// would have holes.
#ifndef SKARVEL_WRITER_SEQUENTIAL_RAW_WRITER_H_
#define SKARVEL_WRITER_SEQUENTIAL_RAW_WRITER_H_

#include <vector>

#include "writer/vmdk_writer.h"

namespace skarvel {

class VMDKSequentialRawWriter : public VMDKWriter {
 public:
  // Takes ownership of |fd|, open for writing at its start; |path| names it
  // in messages. |trailer| follows the disk's bytes (a VHD footer).
  VMDKSequentialRawWriter(int fd, const std::string& path, const SparseLayout& layout,
                          std::vector<uint8_t> trailer = {});

  // Writes zeros up to grain |grain|, then its |length| bytes (at most a
  // grain, and no further than the capacity). Grains must come in
  // increasing index order; one at or below a grain already written is a
  // write failure. Throws FatalError("Failed to write file " + path).
  void writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) override;
  // Writes zeros up to the capacity and the trailer, then closes the output.
  void close() override;

 private:
  // Writes zeros from the current position up to byte |end|.
  void zeroUpTo(uint64_t end);
  void write(const uint8_t* data, uint64_t length);

  std::vector<uint8_t> trailer_;
  uint64_t position_ = 0;  // bytes written so far
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_SEQUENTIAL_RAW_WRITER_H_
