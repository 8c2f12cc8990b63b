// Walking the members of a tar archive in place: a member past ustar's
// 8 GiB - 1 (its size in base 256, its data a hole), and the ways a walk
// ends early. (Extended headers: the interop table's package from Python.)
#include "reader/ova/archive_members.h"

#include <gtest/gtest.h>

#include "format/ova/tar_header.h"
#include "platform/file.h"
#include "test_files.h"

namespace skarvel {
namespace {

constexpr uint64_t kNineGiB = 9ull << 30;

std::string block(const TarBlock& header) { return std::string(header.begin(), header.end()); }

TEST(ArchiveMembersTest, WalksAMemberPast8GiBAndEndsAtTheEndOrTheDamage) {
  struct Row {
    const char* what;
    std::string head;  // the archive's first bytes; a hole follows up to |length|
    uint64_t length;
    ArchiveEnd end;
    std::vector<ArchiveMember> members;
  };
  const std::string big = block(encodeTarHeader("big.vmdk", kNineGiB, 0));
  const std::string small = block(encodeTarHeader("a.ovf", 3, 0)) + "abc" + std::string(509, '\0');
  const Row rows[] = {
      {"base-256 size",
       big,
       512 + kNineGiB + 512,
       ArchiveEnd::kComplete,
       {{"big.vmdk", kNineGiB, 512, '0'}}},
      {"no end block",
       big,
       512 + kNineGiB,
       ArchiveEnd::kTruncated,
       {{"big.vmdk", kNineGiB, 512, '0'}}},
      {"data cut short",
       small + big,
       1024 + kNineGiB - 1,
       ArchiveEnd::kTruncated,
       {{"a.ovf", 3, 512, '0'}}},
      {"a block of text",
       small + std::string(512, 'x'),
       2048,
       ArchiveEnd::kInvalidHeader,
       {{"a.ovf", 3, 512, '0'}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    test::ScopedTempDir dir;
    // Made by the file layer, so that Windows marks it sparse too.
    int fd =
        platform::openFile(dir.file("x.ova"), platform::kOpenBinary | platform::kOpenReadWrite |
                                                  platform::kOpenCreate);
    ASSERT_TRUE(platform::writeFile(fd, row.head.data(), static_cast<uint32_t>(row.head.size())));
    ASSERT_TRUE(platform::setFileSize(fd, row.length));  // zeros, as a hole
    ArchiveListing listing = listArchiveMembers(fd, dir.file("x.ova"));
    platform::closeFile(fd);
    EXPECT_EQ(listing.end, row.end);
    ASSERT_EQ(listing.members.size(), row.members.size());
    for (size_t i = 0; i < row.members.size(); ++i) {
      EXPECT_EQ(listing.members[i].name, row.members[i].name);
      EXPECT_EQ(listing.members[i].size, row.members[i].size);
      EXPECT_EQ(listing.members[i].dataOffset, row.members[i].dataOffset);
    }
  }
}

}  // namespace
}  // namespace skarvel
