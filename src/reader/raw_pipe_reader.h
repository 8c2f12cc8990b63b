// Reading a raw disk from a stream read once, front to back (standard
// input): its size is learnt only where the stream ends.
#ifndef SKARVEL_READER_RAW_PIPE_READER_H_
#define SKARVEL_READER_RAW_PIPE_READER_H_

#include "reader/vmdk_reader.h"

namespace skarvel {

class VMDKRawPipeReader : public VMDKReader {
 public:
  // Takes ownership of |fd|, open for reading at the disk's first byte;
  // |path| names it in messages. Until the stream has ended, capacity() and
  // layout() are those of a disk of |limitSectors|, the most the caller takes.
  // The descriptor is that of a new image (createType "raw").
  VMDKRawPipeReader(int fd, const std::string& path, uint64_t limitSectors);

  bool isMultiFile() const override { return false; }

  // Reads the next grain of the stream: |grain| must be the index after the
  // last one read (0 first), else FatalError("Failed to read file " + path).
  // Returns the bytes read (fewer than a grain only at the end), 0 once the
  // stream has ended, kZeroedGrain when they are all zeros. Grains past the
  // limit are read too: the caller tells when too much came. When the stream
  // ends, capacity() becomes the bytes read in sectors, a partial last sector
  // counted as a whole one that ends in zeros. Throws FatalError("Failed to
  // read file " + path) when the system reports a read error.
  uint32_t readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) override;

  bool ended() const { return ended_; }

 private:
  uint64_t nextGrain_ = 0;
  uint64_t bytesRead_ = 0;
  bool ended_ = false;
};

}  // namespace skarvel

#endif  // SKARVEL_READER_RAW_PIPE_READER_H_
