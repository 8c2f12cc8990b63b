// Writing a split image: one single-file writer per extent, each taking the
// grains of its own consecutive slice of the disk.
#ifndef SKARVEL_WRITER_MULTI_FILE_WRITER_H_
#define SKARVEL_WRITER_MULTI_FILE_WRITER_H_

#include <memory>
#include <vector>

#include "writer/vmdk_writer.h"

namespace skarvel {

class VMDKMultiFileWriter : public VMDKWriter {
 public:
  // Takes ownership of the open descriptor file |fd| at |path| (its text is
  // already written) and of |extentWriters|, in extent order.
  VMDKMultiFileWriter(int fd, const std::string& path, const SparseLayout& layout,
                      std::vector<std::unique_ptr<VMDKWriter>> extentWriters);
  // Deletes the extent writers in order (each closes its file), then closes
  // the descriptor file.
  ~VMDKMultiFileWriter() override;

  // Hands grain |grain| to the extent that holds it, as a local index.
  void writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) override;
  // Closes every extent file in order, then the descriptor file.
  void close() override;

 private:
  std::vector<std::unique_ptr<VMDKWriter>> extentWriters_;
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_MULTI_FILE_WRITER_H_
