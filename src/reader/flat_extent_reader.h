// Reading a FLAT extent: a plain file (or a part of one) that holds a run of
// the disk's sectors in order, with no header and no tables.
#ifndef SKARVEL_READER_FLAT_EXTENT_READER_H_
#define SKARVEL_READER_FLAT_EXTENT_READER_H_

#include "reader/vmdk_reader.h"

namespace skarvel {

class VMDKFlatExtentReader : public VMDKReader {
 public:
  // Takes ownership of |fd|, open on the file at |path| whose sectors from
  // |offsetSectors| on hold the extent's |sizeSectors| sectors (the size and
  // offset of the extent line). Throws FatalError("Unsupported extent file "
  // + path) when the extent would end past what 64-bit byte offsets reach,
  // and FatalError("Failed to read file " + path) when the file's length
  // cannot be found.
  VMDKFlatExtentReader(int fd, const std::string& path, uint64_t sizeSectors,
                       uint64_t offsetSectors);

  bool isMultiFile() const override { return false; }
  // The grain's bytes in place; kZeroedGrain when they are all zeros, or the
  // file holds none of them, so that a copy of a flat disk stays sparse while
  // a parent's grain never shows through.
  uint32_t readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) override;
  // Asks the file system where the file's holes are (platform::findData):
  // grains wholly in a hole, or past the file's end, are passed by. Where it
  // cannot tell, every grain is read.
  uint64_t nextGrainWithData(uint64_t grain) override;
  // A grain the file does not hold whole fails to read.
  void failOnMissingData() override { failOnMissing_ = true; }
  // A grain the file holds to its last byte.
  bool placeOfGrain(uint64_t grain, GrainPlace* place) override;

 private:
  // The byte of the file where grain |grain| begins.
  uint64_t fileOffsetOf(uint64_t grain) const;

  uint64_t offsetSectors_;
  uint64_t fileBytes_ = 0;  // what a read can reach, taken once at open
  bool failOnMissing_ = false;
  // The run of data the file system reported last, [dataBegin_, dataEnd_):
  // a grain that begins inside it needs no new question.
  uint64_t dataBegin_ = 0;
  uint64_t dataEnd_ = 0;
};

}  // namespace skarvel

#endif  // SKARVEL_READER_FLAT_EXTENT_READER_H_
