// The footer of a fixed VHD disk: the 512 bytes after the disk's data, which
// is the disk's bytes from the first. Every field is big-endian:
//
//   off size  field             value written
//     0    8  cookie            "conectix"
//     8    4  features          2 (a reserved bit that is always set)
//    12    4  format version    0x00010000
//    16    8  data offset       all ones: a fixed disk has nothing more
//    24    4  timestamp         seconds since 2000-01-01 00:00:00 UTC
//    28    4  creator           "win ", creator version 0x00010000: readers
//                               take the size from the current size field for
//                               this creator, not from the geometry
//    36    4  creator host OS   "Wi2k"
//    40    8  original size     bytes
//    48    8  current size      bytes
//    56    4  geometry          cylinders (2), heads (1), sectors per track (1)
//    60    4  disk type         2: fixed
//    64    4  checksum          ones' complement of the byte sum of the
//                               footer, this field taken as 0
//    68   16  unique id         a random (version 4) UUID
//    84    1  saved state       0
//    85  427  reserved          0
#ifndef SKARVEL_FORMAT_VHD_VHD_FOOTER_H_
#define SKARVEL_FORMAT_VHD_VHD_FOOTER_H_

#include <array>
#include <cstdint>
#include <optional>

namespace skarvel {

constexpr uint64_t kVhdFooterBytes = 512;
// Platforms that take fixed VHDs want sizes of whole MiB.
constexpr uint64_t kVhdSizeUnitBytes = 1024 * 1024;

using VhdFooterBytes = std::array<uint8_t, kVhdFooterBytes>;

struct VhdGeometry {
  uint64_t cylinders = 0;
  uint64_t heads = 0;
  uint64_t sectorsPerTrack = 0;
};

// The geometry the format's rules give a disk of |totalSectors| (capped at
// 65535 cylinders, 16 heads and 255 sectors per track).
VhdGeometry vhdGeometry(uint64_t totalSectors);

// The footer of a fixed disk of |sizeBytes| bytes made at |timestamp|
// (seconds since 2000), with |uniqueId|.
VhdFooterBytes encodeVhdFooter(uint64_t sizeBytes, uint32_t timestamp,
                               const std::array<uint8_t, 16>& uniqueId);

// The disk size a footer at the end of a file of |fileBytes| bytes gives:
// nothing unless its cookie, checksum and disk type (fixed) are right and
// the current size and the footer fill the file exactly.
std::optional<uint64_t> fixedVhdSize(const VhdFooterBytes& footer, uint64_t fileBytes);

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_VHD_VHD_FOOTER_H_
