#include "reader/open_image.h"

#include "base/fatal_error.h"
#include "base/paths.h"
#include "platform/file.h"
#include "reader/multi_file_reader.h"
#include "reader/single_file_reader.h"

namespace skarvel {

std::unique_ptr<VMDKReader> openImage(const std::string& path, int flags) {
  int fd = platform::openFile(path, flags);
  if (fd == platform::kFileInUse) throw FatalError("File is in use " + path);
  if (fd < 0) throw FatalError("Failed to open " + path);
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
  return std::make_unique<VMDKMultiFileReader>(fd, directory, path, memberOpenFlags(flags));
}

int memberOpenFlags(int imageFlags) {
  constexpr int kLocks = platform::kOpenLockRead | platform::kOpenLockWrite;
  return platform::kOpenBinary | platform::kOpenReadOnly |
         ((imageFlags & kLocks) ? platform::kOpenLockRead : 0);
}

}  // namespace skarvel
