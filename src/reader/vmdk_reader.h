// The reader interface: an image seen as a run of 64 KiB grains.
//
// A reader answers for the whole virtual disk: its capacity, its descriptor,
// the layout a monolithic sparse image of that capacity has, and the data of
// each grain. Implementations: VMDKSingleFileReader (one sparse extent file),
// VMDKMultiFileReader (a descriptor file listing extents) and VMDKChainReader
// (a child and its parents); a descriptor file's extents are read by
// VMDKSingleFileReader, VMDKFlatExtentReader and VMDKZeroExtentReader.
// Readers never write.
#ifndef SKARVEL_READER_VMDK_READER_H_
#define SKARVEL_READER_VMDK_READER_H_

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "format/descriptor.h"
#include "format/grain_place.h"
#include "format/sparse_layout.h"
#include "format/units.h"

namespace skarvel {

// What readGrain returns for a grain that reads as zeros: a zeroed grain of a
// sparse extent, a grain of a ZERO extent, or a grain of zeros in a FLAT
// one. Unlike an absent grain (0), it hides whatever a parent image holds
// there. No grain length can equal it.
constexpr uint32_t kZeroedGrain = UINT32_MAX;

class VMDKReader {
 public:
  // Takes ownership of |fd| (-1 for a reader without a file of its own);
  // |path| is the file's path, used in messages.
  VMDKReader(int fd, std::string path);
  virtual ~VMDKReader();

  VMDKReader(const VMDKReader&) = delete;
  VMDKReader& operator=(const VMDKReader&) = delete;

  // True when the image is a descriptor file with separate extent files.
  virtual bool isMultiFile() const = 0;

  // Places up to |length| bytes of grain |grain| at the start of |buffer|
  // and returns their count: at most one grain; fewer than asked when the
  // file ends inside the grain (the last grain of a disk may also be
  // shorter). Returns 0 when the grain is absent, that is not allocated or
  // past grainCount(), so that a parent's grain shows through; kZeroedGrain
  // when it reads as zeros and hides any parent's. In both cases |buffer|
  // holds nothing of use: a reader never fills zeros itself. Throws
  // FatalError("Failed to read file " + path) on an I/O error and on a
  // compressed grain that is damaged, runs past the end of the file, or
  // inflates to more or fewer bytes than the grain holds.
  virtual uint32_t readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) = 0;

  // The first grain at or past |grain| that may hold data, at most
  // grainCount() (|grain| itself from grainCount() on): every grain between
  // reads as zeros, absent or zeroed, so that a copy that names no parent
  // may pass them by. This base answers |grain|, and each grain is read.
  virtual uint64_t nextGrainWithData(uint64_t grain) { return grain; }

  // Where grain |grain| lies whole and unchanged in a file this reader holds
  // open, as readGrain would deliver it (zeros or not): true, with |*place|
  // set, only then; a reader that stores no grain as it reads answers
  // false, and the grain is read.
  virtual bool placeOfGrain(uint64_t grain, GrainPlace* place) {
    (void)grain, (void)place;
    return false;
  }

  // Appends the descriptor of every file this reader holds open.
  virtual void appendOpenFiles(std::vector<int>& fds) const;

  // The grains this reader's own grain tables name (zeroed grains not
  // counted), for reports; a reader without tables (flat, zero, raw, or a
  // chain, whose members count their own) names none. Reads every table.
  virtual uint64_t allocatedGrains() { return 0; }

  // From now on, a grain whose place the file does not hold (its directory
  // or table entry, or the grain itself, past the end of its file) fails as
  // a read error does, instead of reading as absent: for a copy that tells
  // what it could not read. Readers of several files pass it on.
  virtual void failOnMissingData() {}

  // Gives back the memory of what the reader keeps between reads (tables,
  // buffers); the next read fetches what it needs again. A descriptor file
  // calls it on an extent it has moved past, so that many extents cost
  // little memory.
  virtual void releaseBuffers() {}

  uint64_t capacity() const { return capacity_; }
  // Whole megabytes for 'M', whole gigabytes for any other letter.
  uint64_t capacityIn(char unit) const;
  const DiskDescriptor& descriptor() const { return descriptor_; }
  const SparseLayout& layout() const { return layout_; }
  uint64_t grainCount() const { return layout_.grainCount; }
  uint64_t totalGrains() const { return layout_.totalGrains; }
  uint32_t grainBytes() const { return static_cast<uint32_t>(kGrainBytes); }
  int fileHandle() const { return fd_; }
  const std::string& path() const { return path_; }

 protected:
  // The bytes of grain |grain| that lie within the capacity: a whole grain
  // but for the last one of a disk whose size is not whole grains.
  uint64_t grainBytesAt(uint64_t grain) const {
    return std::min(kGrainBytes, (capacity_ - grain * kGrainSectors) * kSectorBytes);
  }

  // Reads and parses the descriptor text that begins at |sectorOffset| of
  // this reader's file, up to its first zero byte or the end of the file;
  // replaces descriptor() and, when given, |extents|. Returns the count of
  // text bytes read (0: no text there).
  uint64_t readDescriptor(uint64_t sectorOffset, ExtentList* extents);

  int fd_;
  std::string path_;
  uint64_t capacity_ = 0;
  DiskDescriptor descriptor_;
  SparseLayout layout_;
};

// Opens |path| with |flags| as an image, an extent or a parent. Throws
// FatalError("File is in use " + path) when another program's lock forbids
// the lock asked for, and FatalError("Failed to open " + path) when it
// cannot be opened or is a character device: only files and block devices
// hold images, and a device such as /dev/zero would be read without end.
int openImageFile(const std::string& path, int flags);

// Reads exactly |length| bytes at byte |offset| of |fd| when the file has
// them. Returns the count delivered (short at the end of the file, 0 when the
// position cannot be reached); throws FatalError("Failed to read file " +
// path) when the operating system reports a read error.
uint32_t readAt(int fd, const std::string& path, uint64_t offset, void* buffer, uint32_t length);

}  // namespace skarvel

#endif  // SKARVEL_READER_VMDK_READER_H_
