// Reading a split image: a descriptor file whose extent lines list sparse
// extent files, each serving a consecutive run of the disk's grains.
#ifndef SKARVEL_READER_MULTI_FILE_READER_H_
#define SKARVEL_READER_MULTI_FILE_READER_H_

#include "reader/single_file_reader.h"

namespace skarvel {

class VMDKMultiFileReader : public VMDKReader {
 public:
  // Takes ownership of |fd|, the open descriptor file at |path|; |directory|
  // is the directory part of |path| (with its separator, possibly empty),
  // against which relative extent names are resolved. Opens every listed
  // extent read-only, in text order. Throws FatalError with
  //   "Unsupported extent file " + extent path  for a line whose type is not
  //       SPARSE or a file that is not a version-1 sparse extent;
  //   "Failed to open " + extent path           for an extent that cannot be opened.
  VMDKMultiFileReader(int fd, const std::string& directory, const std::string& path);
  ~VMDKMultiFileReader() override;

  bool isMultiFile() const override { return true; }
  uint32_t readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) override;
  void appendOpenFiles(std::vector<int>& fds) const override;

  // The extent lines as read, in text order.
  const ExtentList& extents() const { return extents_; }

 private:
  ExtentList extents_;
  std::vector<std::unique_ptr<VMDKSingleFileReader>> extentReaders_;
};

}  // namespace skarvel

#endif  // SKARVEL_READER_MULTI_FILE_READER_H_
