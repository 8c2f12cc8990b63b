#include "reader/open_image.h"

#include "base/fatal_error.h"
#include "base/paths.h"
#include "platform/file.h"
#include "reader/multi_file_reader.h"
#include "reader/single_file_reader.h"

namespace skarvel {

std::unique_ptr<VMDKReader> openImage(const std::string& path, int flags) {
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
  return std::make_unique<VMDKMultiFileReader>(fd, directory, path);
}

}  // namespace skarvel
