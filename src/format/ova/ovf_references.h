// What an OVF envelope says about the files of its package: the References
// (each file by its member name in the archive, its id and its size) and
// the DiskSection (each disk, the file it is stored in and its capacity).
// The rest of the envelope (the virtual machine) is not read here.
#ifndef SKARVEL_FORMAT_OVA_OVF_REFERENCES_H_
#define SKARVEL_FORMAT_OVA_OVF_REFERENCES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skarvel {

// One References/File: ovf:href (the member's name), ovf:id and ovf:size
// as written (empty when the attribute is absent).
struct OvfFile {
  std::string href;
  std::string id;
  std::string sizeText;
};

// One DiskSection/Disk that is stored in a file (ovf:fileRef set; a disk
// without one is made empty by the importer and has nothing to read).
struct OvfDisk {
  std::string diskId;
  std::string fileRef;
  std::string format;  // ovf:format, the URI of the disk's kind
  // ovf:capacity times its ovf:capacityAllocationUnits ("byte", or
  // "byte * 2^N"); nothing when either does not read as such.
  std::optional<uint64_t> capacityBytes;
};

struct OvfReferences {
  std::vector<OvfFile> files;
  std::vector<OvfDisk> disks;  // in document order: disk 1 is the first

  // The file whose ovf:id is |id|, or nullptr.
  const OvfFile* fileWithId(std::string_view id) const;
};

// Reads the envelope |document|. Throws FatalError("Invalid OVF " + path)
// when it is not well-formed XML or its root is no Envelope.
OvfReferences parseOvfReferences(std::string_view document, const std::string& path);

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_OVA_OVF_REFERENCES_H_
