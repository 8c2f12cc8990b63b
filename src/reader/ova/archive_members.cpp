#include "reader/ova/archive_members.h"

#include <optional>

#include "base/fatal_error.h"
#include "base/numbers.h"
#include "format/ova/pax_records.h"
#include "format/ova/tar_header.h"
#include "platform/file.h"
#include "reader/vmdk_reader.h"

namespace skarvel {

namespace {

// Header types that describe the member after them.
constexpr char kPaxHeader = 'x';
constexpr char kPaxGlobalHeader = 'g';
constexpr char kGnuLongName = 'L';
constexpr char kGnuLongLink = 'K';
constexpr char kContiguousFile = '7';  // read as a regular file by every tar program

// Extended headers hold a few records; one past this size is no header.
constexpr uint64_t kMaxExtendedHeaderBytes = 1 << 20;

// What extended headers say of the next member.
struct Pending {
  std::optional<std::string> name;
  std::optional<uint64_t> size;
};

// Folds the extended header |data| of type |type| into |pending|. False
// when it does not read.
bool applyExtendedHeader(char type, const std::string& data, Pending& pending) {
  if (type == kGnuLongName) {
    pending.name = data.substr(0, data.find('\0'));
    return true;
  }
  if (type != kPaxHeader) return true;  // global headers and long link names
  auto records = parsePaxRecords(data);
  if (!records) return false;
  if (auto path = records->find("path"); path != records->end()) pending.name = path->second;
  if (auto size = records->find("size"); size != records->end()) {
    pending.size = readDecimal64(size->second);
    if (!pending.size) return false;
  }
  return true;
}

// Reads the extended header |header| into |pending|. False when it is too
// large or does not read.
bool readExtendedHeader(int fd, const std::string& path, const ArchiveMember& header,
                        Pending& pending) {
  if (header.size > kMaxExtendedHeaderBytes) return false;
  std::string data(header.size, '\0');
  return readAt(fd, path, header.dataOffset, data.data(), static_cast<uint32_t>(data.size())) ==
             data.size() &&
         applyExtendedHeader(header.type, data, pending);
}

bool isExtendedHeader(char type) {
  return type == kPaxHeader || type == kPaxGlobalHeader || type == kGnuLongName ||
         type == kGnuLongLink;
}

}  // namespace

bool ArchiveMember::isRegularFile() const {
  return type == kTarRegularFile || type == kContiguousFile;
}

bool startsWithTarHeader(int fd, const std::string& path) {
  TarBlock block{};
  return readAt(fd, path, 0, block.data(), kTarBlockBytes) == kTarBlockBytes &&
         decodeTarHeader(block).has_value();
}

ArchiveListing listArchiveMembers(int fd, const std::string& path) {
  uint64_t fileBytes = 0;
  if (!platform::readableLength(fd, &fileBytes)) throw FatalError("Failed to read file " + path);
  ArchiveListing listing;
  Pending pending;
  uint64_t at = 0;
  for (;;) {
    TarBlock block{};
    if (readAt(fd, path, at, block.data(), kTarBlockBytes) != kTarBlockBytes) {
      listing.end = ArchiveEnd::kTruncated;
      return listing;
    }
    if (isZeroTarBlock(block)) return listing;
    std::optional<TarMember> header = decodeTarHeader(block);
    if (!header) {
      listing.end = ArchiveEnd::kInvalidHeader;
      return listing;
    }
    // Extended headers describe the member after them, not themselves.
    bool extended = isExtendedHeader(header->type);
    ArchiveMember member{extended ? header->name : pending.name.value_or(header->name),
                         extended ? header->size : pending.size.value_or(header->size),
                         at + kTarBlockBytes, header->type};
    if (member.size > fileBytes - member.dataOffset) {
      listing.end = ArchiveEnd::kTruncated;
      return listing;
    }
    at = member.dataOffset + member.size + tarPaddingBytes(member.size);
    if (!extended) {
      listing.members.push_back(member);
      pending = Pending();
      continue;
    }
    if (!readExtendedHeader(fd, path, member, pending)) {
      listing.end = ArchiveEnd::kInvalidHeader;
      return listing;
    }
  }
}

}  // namespace skarvel
