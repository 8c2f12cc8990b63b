#include "reader/open_image.h"

#include "base/fatal_error.h"
#include "base/paths.h"
#include "format/vhd/vhd_footer.h"
#include "platform/file.h"
#include "reader/multi_file_reader.h"
#include "reader/raw_pipe_reader.h"
#include "reader/raw_reader.h"
#include "reader/single_file_reader.h"
#include "reader/stream_pipe_reader.h"

namespace skarvel {

namespace {

// "-" names standard input, read once in order: only copy takes it
// (openStandardInput), since images are read at places their tables name.
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

std::unique_ptr<VMDKReader> openRawImage(const std::string& path, int flags, bool vhd) {
  refuseStandardInput(path);
  int fd = openImageFile(path, flags);
  uint64_t length = 0;
  bool known = platform::fileSizeOf(fd, &length);
  // A fixed VHD is its disk's bytes and a footer that must give their count.
  if (known && vhd) {
    VhdFooterBytes footer{};
    std::optional<uint64_t> size;
    if (length >= kVhdFooterBytes && readAt(fd, path, length - kVhdFooterBytes, footer.data(),
                                            kVhdFooterBytes) == kVhdFooterBytes) {
      size = fixedVhdSize(footer, length);
    }
    length = size && *size % kSectorBytes == 0 ? *size : 0;
  }
  // A disk of no sectors is no disk.
  if (!known || length == 0) {
    platform::closeFile(fd);
    throw FatalError("Unsupported image file " + path);
  }
  auto reader = std::make_unique<VMDKRawReader>(fd, path, length);
  if (vhd) reader->setCreateType("vhd");
  return reader;
}

std::unique_ptr<VMDKReader> openStandardInput(bool raw, uint64_t limitSectors) {
  int fd = platform::standardInput();
  if (fd < 0) throw FatalError("Cannot read from standard input");
  if (raw) return std::make_unique<VMDKRawPipeReader>(fd, "-", limitSectors);
  std::vector<uint8_t> header(kSectorBytes);
  if (platform::readFile(fd, header.data(), kSectorBytes) != static_cast<int64_t>(kSectorBytes)) {
    platform::closeFile(fd);
    throw FatalError("Cannot read from standard input");
  }
  return std::make_unique<VMDKStreamPipeReader>(fd, "-", header);
}

}  // namespace skarvel
