// The ustar header block of an OVA member: the bytes written for sizes on
// both sides of the octal field's limit, checksums as Python's tarfile
// computes them for the same member, and what decoding accepts.
#include "format/ova/tar_header.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace skarvel {
namespace {

std::string fieldOf(const TarBlock& block, size_t at, size_t bytes) {
  return std::string(reinterpret_cast<const char*>(&block[at]), bytes);
}

struct EncodeCase {
  const char* name;
  uint64_t size, mtime;
  std::string sizeField;      // bytes 124-135
  std::string checksumField;  // bytes 148-155
};

// Checksums: Python's tarfile (USTAR_FORMAT, mode 0644, uid/gid 0, empty
// owner names) for the first three. For 8 GiB it writes a GNU header, whose
// magic "ustar  \0" sums to 623 against 655 for "ustar\0" "00": its checksum
// 0o7554 + 32 = 0o7614 (for 2^40 + 12345: 0o7724 + 32 = 0o7764). Base-256 sizes: 0x80, then 2^33
// and 2^40 + 12345 big-endian in 11 bytes.
const EncodeCase kEncoded[] = {
    {"vm.ovf", 1234, 1700000000, std::string("00000002322\0", 12), std::string("007144\0 ", 8)},
    {"vm-disk1.vmdk", (uint64_t{1} << 33) - 1, 0, std::string("77777777777\0", 12),
     std::string("010366\0 ", 8)},
    {"vm.mf", 0, 1, std::string("00000000000\0", 12), std::string("006702\0 ", 8)},
    {"big-disk1.vmdk", uint64_t{1} << 33, 1700000000,
     std::string("\x80\0\0\0\0\0\0\x02\0\0\0\0", 12), std::string("007614\0 ", 8)},
    {"big-disk1.vmdk", (uint64_t{1} << 40) + 12345, 1700000000,
     std::string("\x80\0\0\0\0\0\x01\0\0\0\x30\x39", 12), std::string("007764\0 ", 8)},
};

TEST(TarHeaderTest, EncodedFieldsAndRoundTrip) {
  for (const EncodeCase& c : kEncoded) {
    TarBlock block = encodeTarHeader(c.name, c.size, c.mtime);
    EXPECT_EQ(fieldOf(block, 124, 12), c.sizeField) << c.size;
    EXPECT_EQ(fieldOf(block, 257, 8), std::string("ustar\0"
                                                  "00",
                                                  8))
        << c.size;
    EXPECT_EQ(fieldOf(block, 148, 8), c.checksumField) << c.size;
    EXPECT_EQ(decodeTarHeader(block), (TarMember{c.name, c.size, '0'})) << c.size;
  }
}

// Headers as other programs write them, and damaged ones: each row starts
// from the 8 GiB header with Python's GNU magic and checksum, writes its bytes
// over it and, when |resum|, sets the checksum a writer would have (unsigned
// sum; |signedSum|: the bytes taken as signed, as some old programs did).
struct DecodeCase {
  const char* what;
  size_t at;
  std::string bytes;
  bool resum, signedSum;
  std::optional<TarMember> expected;
};

const TarMember kBig{"big-disk1.vmdk", uint64_t{1} << 33, '0'};
const DecodeCase kDecoded[] = {
    {"as Python writes it", 0, "", false, false, kBig},
    {"wrong checksum", 148, std::string("007555\0 ", 8), false, false, std::nullopt},
    {"checksum not octal", 148, std::string("00755x\0 ", 8), false, false, std::nullopt},
    {"signed checksum", 0, "\xe9", true, true, TarMember{"\xe9ig-disk1.vmdk", kBig.size, '0'}},
    {"other magic", 257,
     std::string("ustar\0"
                 "01",
                 8),
     true, false, std::nullopt},
    {"POSIX prefix", 257,
     std::string("ustar\0"
                 "00",
                 8) +
         std::string(80, '\0') + "ova",
     true, false, TarMember{"ova/big-disk1.vmdk", kBig.size, '0'}},
    {"type NUL", 156, std::string(1, '\0'), true, false, kBig},
    {"directory", 156, "5", true, false, TarMember{kBig.name, kBig.size, '5'}},
    {"octal size with spaces", 124, std::string(" 1234 \0\0\0\0\0\0", 12), true, false,
     TarMember{kBig.name, 01234, '0'}},
    {"negative base-256 size", 124, std::string("\xff\xff\xff\xff\xff\xff\xff\xfe\0\0\0\0", 12),
     true, false, std::nullopt},
    {"base-256 size past 64 bits", 124, std::string("\x80\0\0\x01\0\0\0\0\0\0\0\0", 12), true,
     false, std::nullopt},
};

void resum(TarBlock& block, bool signedSum) {
  std::memset(&block[148], ' ', 8);
  int64_t sum = 0;
  for (uint8_t byte : block) sum += signedSum ? static_cast<int8_t>(byte) : byte;
  std::snprintf(reinterpret_cast<char*>(&block[148]), 8, "%06o", static_cast<unsigned>(sum));
}

TEST(TarHeaderTest, DecodedAsOthersWriteThem) {
  for (const DecodeCase& c : kDecoded) {
    TarBlock block = encodeTarHeader(kBig.name, kBig.size, 1700000000);
    std::memcpy(&block[257], "ustar  \0", 8);
    std::memcpy(&block[148], "007554\0 ", 8);
    std::memcpy(&block[c.at], c.bytes.data(), c.bytes.size());
    if (c.resum) resum(block, c.signedSum);
    EXPECT_EQ(decodeTarHeader(block), c.expected) << c.what;
  }
  EXPECT_TRUE(isZeroTarBlock(TarBlock{}));
  EXPECT_FALSE(isZeroTarBlock(encodeTarHeader("a", 0, 0)));
}

// Data is padded with zeros to whole blocks.
TEST(TarHeaderTest, MemberBytes) {
  EXPECT_EQ(tarPaddingBytes(0), 0u);
  EXPECT_EQ(tarPaddingBytes(1), 511u);
  EXPECT_EQ(tarPaddingBytes(1024), 0u);
  EXPECT_EQ(tarMemberBytes(1234), 512u + 1536u);
}

}  // namespace
}  // namespace skarvel
