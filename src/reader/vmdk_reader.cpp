#include "reader/vmdk_reader.h"

#include <climits>

#include "base/fatal_error.h"
#include "format/descriptor_parser.h"
#include "platform/file.h"

namespace skarvel {

namespace {
constexpr uint64_t kSectorsPerMebibyte = 2048;
constexpr uint64_t kSectorsPerGibibyte = 2048 * 1024;
}  // namespace

VMDKReader::VMDKReader(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

VMDKReader::~VMDKReader() {
  if (fd_ >= 0) platform::closeFile(fd_);
}

void VMDKReader::appendOpenFiles(std::vector<int>& fds) const {
  if (fd_ >= 0) fds.push_back(fd_);
}

int openImageFile(const std::string& path, int flags) {
  int fd = platform::openFile(path, flags);
  if (fd == platform::kFileInUse) throw FatalError("File is in use " + path);
  if (fd >= 0 && platform::isCharacterDevice(fd)) {
    platform::closeFile(fd);
    fd = -1;
  }
  if (fd < 0) throw FatalError("Failed to open " + path);
  return fd;
}

uint64_t VMDKReader::capacityIn(char unit) const {
  return capacity_ / (unit == 'M' ? kSectorsPerMebibyte : kSectorsPerGibibyte);
}

uint64_t VMDKReader::readDescriptor(uint64_t sectorOffset, ExtentList* extents) {
  uint64_t offset = sectorOffset * kSectorBytes;
  // The 32-bit call reaches the first 2 GiB; text further on needs 64 bits.
  bool positioned = offset <= static_cast<uint64_t>(INT32_MAX)
                        ? platform::seekFile32(fd_, static_cast<int32_t>(offset))
                        : platform::seekFile64(fd_, offset);
  if (!positioned) return 0;
  FileByteSource source(fd_, path_);
  ParsedDescriptor parsed = parseDescriptor(source, extents != nullptr);
  descriptor_ = parsed.descriptor;
  if (extents != nullptr) *extents = std::move(parsed.extents);
  return parsed.consumedBytes;
}

uint32_t readAt(int fd, const std::string& path, uint64_t offset, void* buffer, uint32_t length) {
  // A position no file can have holds nothing.
  if (offset > static_cast<uint64_t>(INT64_MAX) - length) return 0;
  int64_t n = platform::readFileAt(fd, offset, buffer, length);
  if (n < 0) throw FatalError("Failed to read file " + path);
  return static_cast<uint32_t>(n);
}

}  // namespace skarvel
