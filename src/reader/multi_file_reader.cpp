#include "reader/multi_file_reader.h"

#include "base/fatal_error.h"
#include "base/paths.h"
#include "platform/file.h"

namespace skarvel {

VMDKMultiFileReader::VMDKMultiFileReader(int fd, const std::string& directory,
                                         const std::string& path)
    : VMDKReader(fd, path) {
  uint64_t textBytes = readDescriptor(0, &extents_);
  for (const ExtentDescriptor& extent : extents_) {
    std::string extentPath = resolveAgainst(directory, extent.fileName);
    if (extent.type != "SPARSE") throw FatalError("Unsupported extent file " + extentPath);
    int extentFd = platform::openFile(extentPath, platform::kOpenBinary | platform::kOpenReadOnly);
    if (extentFd < 0) throw FatalError("Failed to open " + extentPath);
    extentReaders_.push_back(std::make_unique<VMDKSingleFileReader>(extentFd, extentPath));
    capacity_ += extentReaders_.back()->capacity();
  }
  layout_ = computeLayout(capacity_, textBytes != 0 ? 1 : 0);
}

VMDKMultiFileReader::~VMDKMultiFileReader() {
  // Extent files close in list order, before the descriptor file.
  for (auto& reader : extentReaders_) reader.reset();
}

uint32_t VMDKMultiFileReader::readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) {
  // Extents lie end to end in grain order; |grain| >= |base| throughout.
  uint64_t base = 0;
  for (auto& reader : extentReaders_) {
    if (grain - base < reader->grainCount()) return reader->readGrain(grain - base, buffer, length);
    base += reader->grainCount();
  }
  return 0;
}

void VMDKMultiFileReader::appendOpenFiles(std::vector<int>& fds) const {
  VMDKReader::appendOpenFiles(fds);
  for (const auto& reader : extentReaders_) reader->appendOpenFiles(fds);
}

}  // namespace skarvel
