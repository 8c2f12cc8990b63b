#include "writer/vmdk_writer.h"

#include <vector>

#include "base/fatal_error.h"
#include "platform/file.h"

namespace skarvel {

VMDKWriter::VMDKWriter(int fd, std::string path, const SparseLayout& layout)
    : fd_(fd), path_(std::move(path)), layout_(layout) {}

VMDKWriter::~VMDKWriter() { closeOwnFile(); }

void VMDKWriter::copyGrain(uint64_t grain, const GrainPlace& place) {
  std::vector<uint8_t> buffer(place.length);
  readPlaced(place, buffer.data());
  writeGrain(grain, buffer.data(), place.length);
}

void VMDKWriter::readPlaced(const GrainPlace& place, uint8_t* buffer) {
  if (platform::readFileAt(place.fd, place.offset, buffer, place.length) != place.length) {
    throw FatalError("Failed to read file " + *place.path);
  }
}

void VMDKWriter::close() {
  if (!closeOwnFile()) failWrite();
}

void VMDKWriter::settleCapacity(uint64_t sectors) {
  layout_ = computeLayout(sectors, static_cast<int>(layout_.descriptorSectors));
}

bool VMDKWriter::closeOwnFile() {
  if (fd_ < 0) return true;
  bool closed = platform::closeFile(fd_);
  fd_ = -1;
  return closed;
}

void VMDKWriter::failWrite() const { throw FatalError("Failed to write file " + path_); }

}  // namespace skarvel
