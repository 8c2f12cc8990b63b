// The members of a tar archive, found by walking its headers in place:
// ustar and GNU headers, GNU long names and POSIX extended headers (a long
// "path", a "size" past 8 GiB - 1) folded into the member they describe.
#ifndef SKARVEL_READER_OVA_ARCHIVE_MEMBERS_H_
#define SKARVEL_READER_OVA_ARCHIVE_MEMBERS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace skarvel {

struct ArchiveMember {
  std::string name;
  uint64_t size = 0;
  uint64_t dataOffset = 0;  // the archive's byte where the member's data begins
  char type = '0';          // the header's typeflag; '0' for a regular file

  bool isRegularFile() const;
};

// How the walk ended.
enum class ArchiveEnd {
  kComplete,       // at a block of zeros, the end of the archive
  kTruncated,      // the file ends inside a member or before an end block
  kInvalidHeader,  // a block that is neither a header nor zeros
};

struct ArchiveListing {
  std::vector<ArchiveMember> members;  // those before the end, in archive order
  ArchiveEnd end = ArchiveEnd::kComplete;
};

// True when the first 512 bytes of |fd| are a ustar (or GNU) member header
// whose checksum matches. Throws FatalError("Failed to read file " + path)
// on an I/O error.
bool startsWithTarHeader(int fd, const std::string& path);

// Walks the archive open as |fd| from its start. Throws FatalError("Failed
// to read file " + path) on an I/O error or when its length cannot be learnt.
ArchiveListing listArchiveMembers(int fd, const std::string& path);

}  // namespace skarvel

#endif  // SKARVEL_READER_OVA_ARCHIVE_MEMBERS_H_
