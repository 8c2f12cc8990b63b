#include "reader/open_image.h"

#include "base/fatal_error.h"
#include "base/paths.h"
#include "platform/file.h"
#include "reader/multi_file_reader.h"
#include "reader/raw_reader.h"
#include "reader/single_file_reader.h"

namespace skarvel {

namespace {

// "-" names standard input, which no reader takes yet: images are read at
// places their tables name.
void refuseStandardInput(const std::string& path) {
  if (path == "-") throw FatalError("Cannot read from standard input");
}

}  // namespace

std::unique_ptr<VMDKReader> openImage(const std::string& path, int flags, int extentFlags) {
  refuseStandardInput(path);
  int fd = openImageFile(path, flags);
  SparseProbe probe;
  try {
    probe = probeSparseExtent(fd, path);
  } catch (const FatalError&) {
    platform::closeFile(fd);
    throw;
  }
  if (probe == SparseProbe::kReadable) return std::make_unique<VMDKSingleFileReader>(fd, path);
  if (probe == SparseProbe::kUnsupported) {
    platform::closeFile(fd);
    throw FatalError("Unsupported image file " + path);
  }
  std::string directory, fileName;
  splitPath(path, directory, fileName);
  if (extentFlags == kMemberFlags) extentFlags = memberOpenFlags(flags);
  return std::make_unique<VMDKMultiFileReader>(fd, directory, path, extentFlags);
}

int memberOpenFlags(int imageFlags) {
  constexpr int kLocks = platform::kOpenLockRead | platform::kOpenLockWrite;
  return platform::kOpenBinary | platform::kOpenReadOnly |
         ((imageFlags & kLocks) ? platform::kOpenLockRead : 0);
}

std::unique_ptr<VMDKReader> openRawImage(const std::string& path, int flags) {
  refuseStandardInput(path);
  int fd = openImageFile(path, flags);
  uint64_t length = 0;
  // A disk of no sectors is no disk.
  if (!platform::fileSizeOf(fd, &length) || length == 0) {
    platform::closeFile(fd);
    throw FatalError("Unsupported image file " + path);
  }
  return std::make_unique<VMDKRawReader>(fd, path, length);
}

}  // namespace skarvel
