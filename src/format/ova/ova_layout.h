// Where the members of an OVA package lie: a ustar archive holding, in this
// order, the envelope "name.ovf", the manifest "name.mf" and the disk
// "name-disk1.vmdk", then the two zero blocks that end an archive.
//
//   0                 header block of the envelope
//   ovfAt()           the envelope, ovfBytes long, padded to a whole block
//   then              header block of the manifest
//   manifestAt()      the manifest, manifestBytes long, padded
//   then              header block of the disk
//   diskAt()          the stream-optimized disk, padded
//   then              two blocks of zeros
//
// Both documents have lengths fixed before the disk is written, so the disk
// follows them at a known place and the documents are written last.
#ifndef SKARVEL_FORMAT_OVA_OVA_LAYOUT_H_
#define SKARVEL_FORMAT_OVA_OVA_LAYOUT_H_

#include <cstdint>
#include <string>

#include "format/ova/tar_header.h"

namespace skarvel {

constexpr const char* kOvaExtension = ".ova";
constexpr const char* kOvfExtension = ".ovf";
constexpr const char* kManifestExtension = ".mf";
constexpr const char* kOvaDiskSuffix = "-disk1.vmdk";
// The longest member name ustar keeps whole is 100 bytes; the disk's is the
// package name and 11 more.
constexpr size_t kMaxPackageNameBytes =
    kTarNameBytes - std::char_traits<char>::length(kOvaDiskSuffix);

// True for a package name that every importer takes in a member name, a
// manifest line and an envelope's file reference: 1 to 89 bytes of ASCII
// letters, digits, ' ', '.', '_', '-' and '+', not beginning with '.' or ' '.
bool isPackageName(const std::string& name);

// The package name an output path gives: its file name without ".ova".
std::string packageNameOf(const std::string& outputPath);

struct OvaLayout {
  std::string ovfName, manifestName, diskName;
  uint64_t ovfBytes = 0, manifestBytes = 0;

  OvaLayout(const std::string& packageName, uint64_t ovfBytes, uint64_t manifestBytes);

  // Where each member's data begins; its header is the block before.
  uint64_t ovfAt() const { return kTarBlockBytes; }
  uint64_t manifestAt() const {
    return ovfAt() + ovfBytes + tarPaddingBytes(ovfBytes) + kTarBlockBytes;
  }
  uint64_t diskAt() const {
    return manifestAt() + manifestBytes + tarPaddingBytes(manifestBytes) + kTarBlockBytes;
  }
  // The whole archive with a disk member of |diskBytes| bytes.
  uint64_t packageBytes(uint64_t diskBytes) const {
    return diskAt() + diskBytes + tarPaddingBytes(diskBytes) + kTarEndBytes;
  }
};

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_OVA_OVA_LAYOUT_H_
