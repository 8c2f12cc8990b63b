#include "writer/multi_file_writer.h"

namespace skarvel {

VMDKMultiFileWriter::VMDKMultiFileWriter(int fd, const std::string& path,
                                         const SparseLayout& layout,
                                         std::vector<std::unique_ptr<VMDKWriter>> extentWriters)
    : VMDKWriter(fd, path, layout), extentWriters_(std::move(extentWriters)) {}

VMDKMultiFileWriter::~VMDKMultiFileWriter() {
  // Each extent writer closes its file as it goes, in order, then the
  // descriptor file closes; failures can no longer be reported here.
  for (auto& writer : extentWriters_) writer.reset();
  closeOwnFile();
}

void VMDKMultiFileWriter::writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) {
  // Extents lie end to end in grain order; |grain| >= |base| throughout.
  uint64_t base = 0;
  for (auto& writer : extentWriters_) {
    uint64_t count = writer->layout().grainCount;
    if (grain - base < count) {
      writer->writeGrain(grain - base, data, length);
      return;
    }
    base += count;
  }
}

void VMDKMultiFileWriter::close() {
  for (auto& writer : extentWriters_) writer->close();
  VMDKWriter::close();
}

}  // namespace skarvel
