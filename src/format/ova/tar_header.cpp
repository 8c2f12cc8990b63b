#include "format/ova/tar_header.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/byte_order.h"

namespace skarvel {

namespace {

struct Field {
  size_t at;
  size_t bytes;
};

constexpr Field kName{0, kTarNameBytes}, kMode{100, 8}, kUid{108, 8}, kGid{116, 8};
constexpr Field kSize{124, 12}, kMtime{136, 12}, kChecksum{148, 8}, kMagic{257, 8};
constexpr Field kPrefix{345, 155};
constexpr size_t kTypeAt = 156;

constexpr uint64_t kRegularFileMode = 0644;
// magic and version together: POSIX ustar, and the older GNU form.
constexpr std::string_view kUstarMagic{
    "ustar\0"
    "00",
    8};
constexpr std::string_view kGnuMagic{"ustar  \0", 8};
// A size field in base 256: this marker byte, then the size big-endian in
// the 11 bytes after it (a positive number; 0xFF would be a negative one).
constexpr uint8_t kBase256Marker = 0x80;
constexpr size_t kBase256HighBytes = 12 - 1 - 8;  // bytes above a 64-bit value
// The checksum field: 6 octal digits, NUL, space.
constexpr size_t kChecksumDigits = 6;

std::string_view textOf(const TarBlock& block, Field field) {
  auto* first = reinterpret_cast<const char*>(&block[field.at]);
  return std::string_view(first, std::find(first, first + field.bytes, '\0') - first);
}

// |value| in octal, |digits| digits with leading zeros, then NUL.
void putOctal(TarBlock& block, size_t at, size_t digits, uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%0*llo", static_cast<int>(digits),
                static_cast<unsigned long long>(value));
  std::memcpy(&block[at], text, digits + 1);  // its NUL included
}

void putOctal(TarBlock& block, Field field, uint64_t value) {
  putOctal(block, field.at, field.bytes - 1, value);
}

void putSize(TarBlock& block, uint64_t size) {
  if (size <= kTarMaxOctalSize) return putOctal(block, kSize, size);
  block[kSize.at] = kBase256Marker;
  putBigEndian(&block[kSize.at + 1 + kBase256HighBytes], size, 8);
}

// An octal field: optional leading spaces, at least one digit, then only NULs
// or spaces to the end of the field.
std::optional<uint64_t> octalField(const TarBlock& block, Field field) {
  size_t i = field.at, end = field.at + field.bytes;
  while (i < end && block[i] == ' ') ++i;
  uint64_t value = 0;
  size_t first = i;
  for (; i < end && block[i] >= '0' && block[i] <= '7'; ++i) value = value * 8 + (block[i] - '0');
  if (i == first) return std::nullopt;
  for (; i < end; ++i) {
    if (block[i] != '\0' && block[i] != ' ') return std::nullopt;
  }
  return value;
}

std::optional<uint64_t> sizeField(const TarBlock& block) {
  if (!(block[kSize.at] & kBase256Marker)) return octalField(block, kSize);
  if (block[kSize.at] != kBase256Marker) return std::nullopt;  // negative, or too large
  for (size_t i = 1; i <= kBase256HighBytes; ++i) {
    if (block[kSize.at + i] != 0) return std::nullopt;
  }
  return getBigEndian(&block[kSize.at + 1 + kBase256HighBytes], 8);
}

// The sum of the block's bytes, the checksum field counted as spaces:
// unsigned as ustar defines it, or signed as some old programs wrote it.
uint64_t checksumOf(const TarBlock& block, bool signedBytes) {
  uint64_t sum = 0;
  for (size_t i = 0; i < block.size(); ++i) {
    bool inField = i >= kChecksum.at && i < kChecksum.at + kChecksum.bytes;
    uint8_t byte = inField ? uint8_t{' '} : block[i];
    sum += signedBytes ? static_cast<uint64_t>(static_cast<int8_t>(byte)) : byte;
  }
  return sum;
}

bool checksumMatches(const TarBlock& block) {
  std::optional<uint64_t> stored = octalField(block, kChecksum);
  return stored && (*stored == checksumOf(block, false) || *stored == checksumOf(block, true));
}

}  // namespace

TarBlock encodeTarHeader(const std::string& name, uint64_t size, uint64_t mtime) {
  TarBlock block{};
  std::memcpy(&block[kName.at], name.data(), std::min(name.size(), kName.bytes));
  putOctal(block, kMode, kRegularFileMode);
  putOctal(block, kUid, 0);
  putOctal(block, kGid, 0);
  putSize(block, size);
  putOctal(block, kMtime, mtime);
  block[kTypeAt] = kTarRegularFile;
  std::memcpy(&block[kMagic.at], kUstarMagic.data(), kMagic.bytes);
  putOctal(block, kChecksum.at, kChecksumDigits, checksumOf(block, false));
  block[kChecksum.at + kChecksumDigits + 1] = ' ';
  return block;
}

std::optional<TarMember> decodeTarHeader(const TarBlock& block) {
  std::string_view magic(reinterpret_cast<const char*>(&block[kMagic.at]), kMagic.bytes);
  bool posix = magic == kUstarMagic;
  if ((!posix && magic != kGnuMagic) || !checksumMatches(block)) return std::nullopt;
  std::optional<uint64_t> size = sizeField(block);
  if (!size) return std::nullopt;
  TarMember member;
  member.name = std::string(textOf(block, kName));
  // GNU archives keep other fields where POSIX ones have the prefix.
  std::string_view prefix = posix ? textOf(block, kPrefix) : std::string_view();
  if (!prefix.empty()) member.name = std::string(prefix) + "/" + member.name;
  member.size = *size;
  member.type = block[kTypeAt] == '\0' ? kTarRegularFile : static_cast<char>(block[kTypeAt]);
  return member;
}

bool isZeroTarBlock(const TarBlock& block) {
  for (uint8_t byte : block) {
    if (byte != 0) return false;
  }
  return true;
}

}  // namespace skarvel
