// Reading a descriptor file: its extent lines list the files (or the zeros)
// that serve consecutive runs of the disk's grains.
#ifndef SKARVEL_READER_MULTI_FILE_READER_H_
#define SKARVEL_READER_MULTI_FILE_READER_H_

#include "platform/file.h"
#include "reader/vmdk_reader.h"

namespace skarvel {

class VMDKMultiFileReader : public VMDKReader {
 public:
  // Takes ownership of |fd|, the open file at |path|, and reads it as a
  // descriptor file; |directory| is the directory part of |path| (with its
  // separator, possibly empty), against which relative extent names are
  // resolved. Opens every listed extent with |extentFlags| (read-only, with a
  // lock or without), in text order: SPARSE
  // extents (sparse extent files of versions 1 to 3), FLAT extents (read in
  // place from the line's sector offset on) and ZERO extents (no file).
  // Throws FatalError with
  //   "Unsupported image file " + path          when the file holds no extent
  //       line, that is none whose access word is RW, RDONLY or NOACCESS,
  //       for a FLAT or ZERO line whose size reads as 0 or exceeds
  //       kMaxCapacitySectors, and when the extents' sizes add up past it;
  //   "Unsupported extent file " + extent path  for a line of another type, a
  //       SPARSE file that is not a sparse extent of a version read, or an
  //       extent that ends inside a grain and is not the last (for a ZERO
  //       extent, the path is the descriptor file's);
  //   "Failed to open " + extent path           for an extent that cannot be
  //       opened or is a character device;
  //   "File is in use " + extent path           for one another program's lock forbids.
  VMDKMultiFileReader(int fd, const std::string& directory, const std::string& path,
                      int extentFlags = platform::kOpenBinary | platform::kOpenReadOnly);
  ~VMDKMultiFileReader() override;

  bool isMultiFile() const override { return true; }
  uint32_t readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) override;
  bool placeOfGrain(uint64_t grain, GrainPlace* place) override;
  void appendOpenFiles(std::vector<int>& fds) const override;
  uint64_t allocatedGrains() override;
  void failOnMissingData() override;

  // The extent lines as read, in text order.
  const ExtentList& extents() const { return extents_; }

  // The readers of the extents, in text order, and the index of the extent
  // that holds |grain| (below grainCount()) with the grain's index within
  // it: for changing an extent in place.
  const std::vector<std::unique_ptr<VMDKReader>>& extentReaders() const { return extentReaders_; }
  std::pair<size_t, uint64_t> extentOf(uint64_t grain);

 private:
  // The reader of one extent line.
  std::unique_ptr<VMDKReader> openExtent(const ExtentDescriptor& extent,
                                         const std::string& directory, int flags);
  // The index of the extent that holds |grain|, which is below the total.
  size_t extentHolding(uint64_t grain);
  // Makes the extent holding |grain| the current one, giving back the
  // buffers of the one before, and returns its reader.
  VMDKReader& moveTo(uint64_t grain);

  ExtentList extents_;
  std::vector<std::unique_ptr<VMDKReader>> extentReaders_;
  // Extents lie end to end in whole grains: extent k serves the grains from
  // firstGrains_[k] up to firstGrains_[k + 1]; the last element is the total.
  std::vector<uint64_t> firstGrains_;
  // The extent that served the last grain. Copies read grains in order, so
  // the next grain is almost always there or in the next extent.
  size_t current_ = 0;
};

}  // namespace skarvel

#endif  // SKARVEL_READER_MULTI_FILE_READER_H_
