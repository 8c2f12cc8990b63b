#include "writer/multi_file_writer.h"

#include "base/fatal_error.h"
#include "platform/file.h"

namespace skarvel {

VMDKMultiFileWriter::VMDKMultiFileWriter(int fd, const std::string& path,
                                         const SparseLayout& layout, const std::string& directory,
                                         const SplitExtents& extents)
    : VMDKWriter(fd, path, layout), directory_(directory), extents_(extents) {}

VMDKMultiFileWriter::~VMDKMultiFileWriter() {
  openExtent_.reset();
  closeOwnFile();
}

void VMDKMultiFileWriter::writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) {
  uint64_t index = grain / kSplitExtentGrains;
  if (index >= extents_.count()) return;
  if (index != openIndex_) {
    if (openExtent_) openExtent_->close();
    openExtent_.reset();
    openIndex_ = kNoExtent;
    std::string extentPath = directory_ + extents_.name(index);
    int fd = platform::openFile(
        extentPath, platform::kOpenBinary | platform::kOpenReadWrite | platform::kOpenLockWrite);
    if (fd < 0) throw FatalError("Failed to write file " + extentPath);
    openExtent_ = std::make_unique<VMDKSingleFileWriter>(fd, extentPath,
                                                         computeLayout(extents_.sectors(index), 0));
    openIndex_ = index;
  }
  openExtent_->writeGrain(grain - index * kSplitExtentGrains, data, length);
}

void VMDKMultiFileWriter::close() {
  if (openExtent_) openExtent_->close();
  openExtent_.reset();
  openIndex_ = kNoExtent;
  VMDKWriter::close();
}

}  // namespace skarvel
