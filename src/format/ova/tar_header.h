// The 512-byte header block of one member of a ustar archive (an OVA package
// is one), and the blocks around a member's data.
//
// Byte layout (numbers are octal text, NUL-terminated, unless noted):
//     0  100  name       bytes of the member name, NUL-padded (no NUL at 100)
//   100    8  mode       "0000644"
//   108    8  uid        "0000000"
//   116    8  gid        "0000000"
//   124   12  size       11 octal digits, so at most 8 GiB - 1; larger sizes
//                        in base 256: byte 0 is 0x80, bytes 1-11 the size
//                        big-endian (as importers and tar programs read it)
//   136   12  mtime      seconds since 1970
//   148    8  chksum     6 octal digits, NUL, space: the unsigned sum of the
//                        512 bytes with this field taken as 8 spaces
//   156    1  typeflag   '0': a regular file
//   157  100  linkname   empty
//   257    6  magic      "ustar\0" (GNU archives: "ustar " with version " \0")
//   263    2  version    "00"
//   265   32  uname      empty
//   297   32  gname      empty
//   329   16  devmajor, devminor: empty (a regular file has no device)
//   345  155  prefix     empty; when a reader finds one, it goes before the
//                        name with a '/'
//   500   12  (zero)
//
// A member's data follows its header and is padded with zeros to a whole
// block; two zero blocks end the archive.
#ifndef SKARVEL_FORMAT_OVA_TAR_HEADER_H_
#define SKARVEL_FORMAT_OVA_TAR_HEADER_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace skarvel {

constexpr uint64_t kTarBlockBytes = 512;
constexpr size_t kTarNameBytes = 100;
// The largest size of the 12-byte field's 11 octal digits: 8^11 - 1.
constexpr uint64_t kTarMaxOctalSize = (uint64_t{1} << 33) - 1;
// The blocks of zeros that end an archive.
constexpr uint64_t kTarEndBytes = 2 * kTarBlockBytes;
constexpr char kTarRegularFile = '0';

using TarBlock = std::array<uint8_t, kTarBlockBytes>;

// What a header says of its member.
struct TarMember {
  std::string name;  // prefix + '/' + name when the header has a prefix
  uint64_t size = 0;
  char type = kTarRegularFile;  // '0' (or '\0', read as '0'), else as found
  bool operator==(const TarMember&) const = default;
};

// The header of a regular file |name| (1 to 100 bytes, which the caller
// checks) of |size| bytes, changed at |mtime| (seconds since 1970).
TarBlock encodeTarHeader(const std::string& name, uint64_t size, uint64_t mtime);

// The member a header block describes, or nothing when the block is not a
// ustar header: its magic is neither form, its checksum does not match or a
// number field does not read.
std::optional<TarMember> decodeTarHeader(const TarBlock& block);

// True for a block of zeros (one of the two that end an archive).
bool isZeroTarBlock(const TarBlock& block);

// The zeros that follow |size| bytes of data up to a whole block.
constexpr uint64_t tarPaddingBytes(uint64_t size) {
  return (kTarBlockBytes - size % kTarBlockBytes) % kTarBlockBytes;
}

// The bytes a member of |size| bytes takes in the archive: header, data and
// padding.
constexpr uint64_t tarMemberBytes(uint64_t size) {
  return kTarBlockBytes + size + tarPaddingBytes(size);
}

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_OVA_TAR_HEADER_H_
