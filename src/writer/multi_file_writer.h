// Writing a split image: grains go to the extent file that holds their
// consecutive slice of the disk.
#ifndef SKARVEL_WRITER_MULTI_FILE_WRITER_H_
#define SKARVEL_WRITER_MULTI_FILE_WRITER_H_

#include <memory>

#include "writer/single_file_writer.h"
#include "writer/split_extents.h"

namespace skarvel {

class VMDKMultiFileWriter : public VMDKWriter {
 public:
  // Takes ownership of the open descriptor file |fd| at |path| (its text is
  // written by the caller). The extent files of |extents| already exist
  // under |directory|, laid down empty by createSparseExtent.
  VMDKMultiFileWriter(int fd, const std::string& path, const SparseLayout& layout,
                      const std::string& directory, const SplitExtents& extents);
  // Finishes the extent being written, as far as it can, then closes the
  // descriptor file.
  ~VMDKMultiFileWriter() override;

  // Hands grain |grain| to the extent that holds it (grain / 32752), as a
  // local index. Only one extent file is open at a time: the one written
  // last, which is finished and closed when a grain of another arrives.
  // Throws FatalError("Failed to write file " + extent path) when an extent
  // cannot be opened or written.
  void writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) override;
  // Finishes and closes the open extent file, then the descriptor file.
  void close() override;

 private:
  std::string directory_;
  SplitExtents extents_;
  static constexpr uint64_t kNoExtent = ~uint64_t{0};
  uint64_t openIndex_ = kNoExtent;
  std::unique_ptr<VMDKSingleFileWriter> openExtent_;
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_MULTI_FILE_WRITER_H_
