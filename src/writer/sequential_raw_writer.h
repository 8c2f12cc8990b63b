// Writing a raw disk to a stream that cannot seek (a pipe, standard
// output): every byte of the disk in order, zeros written where a file
// would have holes.
#ifndef SKARVEL_WRITER_SEQUENTIAL_RAW_WRITER_H_
#define SKARVEL_WRITER_SEQUENTIAL_RAW_WRITER_H_

#include "writer/vmdk_writer.h"

namespace skarvel {

class VMDKSequentialRawWriter : public VMDKWriter {
 public:
  // Takes ownership of |fd|, open for writing at its start; |path| names it
  // in messages.
  VMDKSequentialRawWriter(int fd, const std::string& path, const SparseLayout& layout);

  // Writes zeros up to grain |grain|, then its |length| bytes (at most a
  // grain, and no further than the capacity). Grains must come in
  // increasing index order; one at or below a grain already written is a
  // write failure. Throws FatalError("Failed to write file " + path).
  void writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) override;
  // Writes zeros up to the capacity, then closes the output.
  void close() override;

 private:
  // Writes zeros from the current position up to byte |end|.
  void zeroUpTo(uint64_t end);
  void write(const uint8_t* data, uint64_t length);

  uint64_t position_ = 0;  // bytes written so far
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_SEQUENTIAL_RAW_WRITER_H_
