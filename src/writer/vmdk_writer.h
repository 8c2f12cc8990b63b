// The writer interface: a sink that stores grains of a new image.
//
// Calling order: construct (through OutputImage) -> writeGrain any number of
// times, in any index order -> (settleCapacity) -> close -> destroy. Writers own their files.
#ifndef SKARVEL_WRITER_VMDK_WRITER_H_
#define SKARVEL_WRITER_VMDK_WRITER_H_

#include <cstdint>
#include <string>

#include "format/grain_place.h"
#include "format/sparse_layout.h"

namespace skarvel {

class VMDKWriter {
 public:
  // Takes ownership of the open |fd| at |path|; copies |layout|.
  VMDKWriter(int fd, std::string path, const SparseLayout& layout);
  // Closes the file if still open (the base close, once).
  virtual ~VMDKWriter();

  VMDKWriter(const VMDKWriter&) = delete;
  VMDKWriter& operator=(const VMDKWriter&) = delete;

  // Stores |length| bytes as grain |grain|. An index at or past the layout's
  // grain count writes nothing. Throws FatalError("Failed to write file " +
  // path) when a positioning or write fails.
  virtual void writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) = 0;

  // True when copyGrain lets the system copy a grain from its place in a
  // file; the caller need not look for places otherwise.
  virtual bool copiesGrainPlaces() const { return false; }

  // Stores the grain that lies at |place| (bytes that are not all zeros) as
  // grain |grain|, as writeGrain would store them; the bytes may be copied
  // only later, up to close(). Throws FatalError("Failed to read file " +
  // the place's path) when they cannot be read, and as writeGrain does. This
  // base reads them and writes them.
  virtual void copyGrain(uint64_t grain, const GrainPlace& place);

  // Closes the file; a second call does nothing. Throws FatalError("Failed
  // to write file " + path) when the system reports a failure on closing
  // (some file systems report a failed write only then).
  virtual void close();

  // For an output made before its size was known (OutputImage::
  // createOfUnknownSize): the capacity in sectors that close() records, once
  // the input has ended. No grain past it may have been written. This base
  // takes the layout of that capacity.
  virtual void settleCapacity(uint64_t sectors);

  const SparseLayout& layout() const { return layout_; }

 protected:
  // Closes the file if open; returns false when closing failed.
  bool closeOwnFile();
  [[noreturn]] void failWrite() const;
  // Reads the bytes at |place| into |buffer|, which holds place.length.
  static void readPlaced(const GrainPlace& place, uint8_t* buffer);

  int fd_;
  std::string path_;
  SparseLayout layout_;
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_VMDK_WRITER_H_
