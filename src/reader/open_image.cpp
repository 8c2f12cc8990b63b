#include "reader/open_image.h"

#include "base/fatal_error.h"
#include "base/paths.h"
#include "format/sparse_header.h"
#include "platform/file.h"
#include "reader/multi_file_reader.h"
#include "reader/single_file_reader.h"

namespace skarvel {

namespace {

// Magic and version: the first 8 bytes of a sparse extent.
constexpr uint32_t kProbeBytes = 8;

bool isSparseExtent(int fd, const std::string& path) {
  uint8_t probe[kProbeBytes];
  if (readAt(fd, path, 0, probe, kProbeBytes) != kProbeBytes) return false;
  return getLittleEndian32(probe) == kSparseMagic && getLittleEndian32(probe + 4) == kSparseVersion;
}

}  // namespace

std::unique_ptr<VMDKReader> openImage(const std::string& path, int flags) {
  int fd = platform::openFile(path, flags);
  if (fd < 0) throw FatalError("Failed to open " + path);
  bool sparse;
  try {
    sparse = isSparseExtent(fd, path);
  } catch (const FatalError&) {
    platform::closeFile(fd);
    throw;
  }
  if (sparse) return std::make_unique<VMDKSingleFileReader>(fd, path);
  std::string directory, fileName;
  splitPath(path, directory, fileName);
  return std::make_unique<VMDKMultiFileReader>(fd, directory, path);
}

}  // namespace skarvel
