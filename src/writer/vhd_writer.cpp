#include "writer/vhd_writer.h"

#include <chrono>

#include "base/fatal_error.h"
#include "format/cid.h"
#include "platform/file.h"

namespace skarvel {

namespace {

// Seconds from the Unix epoch to 2000-01-01 00:00:00 UTC, where VHD time
// starts.
constexpr int64_t kVhdEpochSeconds = 946684800;

// A version 4 UUID from the process's generator, which the clock seeded.
std::array<uint8_t, 16> newUniqueId() {
  std::array<uint8_t, 16> id;
  for (uint8_t& byte : id) byte = static_cast<uint8_t>(nextCid());
  constexpr uint8_t kVersion4 = 0x40, kVariant = 0x80;
  id[6] = static_cast<uint8_t>((id[6] & 0x0F) | kVersion4);
  id[8] = static_cast<uint8_t>((id[8] & 0x3F) | kVariant);
  return id;
}

}  // namespace

VhdFooterBytes newVhdFooter(uint64_t sizeBytes) {
  int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
  return encodeVhdFooter(sizeBytes, static_cast<uint32_t>(now - kVhdEpochSeconds), newUniqueId());
}

VMDKVhdWriter::VMDKVhdWriter(const std::string& path, const SparseLayout& layout,
                             const std::string& directory, const SplitExtents& extents)
    : VMDKFlatWriter(-1, path, layout, directory, extents),
      filePath_(directory + extents.name(0)) {}

void VMDKVhdWriter::close() {
  VMDKFlatWriter::close();
  uint64_t sizeBytes = layout_.capacitySectors() * kSectorBytes;
  VhdFooterBytes footer = newVhdFooter(sizeBytes);
  int fd = platform::openFile(
      filePath_, platform::kOpenBinary | platform::kOpenReadWrite | platform::kOpenLockWrite);
  bool written = fd >= 0 && platform::writeFileAt(fd, sizeBytes, footer.data(), kVhdFooterBytes);
  if (fd >= 0 && !platform::closeFile(fd)) written = false;
  if (!written) throw FatalError("Failed to write file " + filePath_);
}

}  // namespace skarvel
