// The stream-optimized layout, checked where it does not depend on the
// compressor: the header, the order of markers, and the sectors that the
// tables, the directory and the footer name.
#include "writer/stream_writer.h"

#include <gtest/gtest.h>

#include "base/fatal_error.h"
#include "test_files.h"
#include "writer/output_image.h"

namespace skarvel {
namespace {

using test::Bytes;
using test::le32At;
using test::le64At;

uint64_t at(uint64_t sector) { return sector * 512; }

// Expects a metadata marker at |sector|: |sectors| sectors of |type| follow.
void expectMarker(const Bytes& file, uint64_t sector, uint64_t sectors, uint32_t type) {
  EXPECT_EQ(le64At(file, at(sector)), sectors) << "marker at " << sector;
  EXPECT_EQ(le32At(file, at(sector) + 8), 0u) << "marker at " << sector;
  EXPECT_EQ(le32At(file, at(sector) + 12), type) << "marker at " << sector;
}

// Expects a grain marker for disk sector |lba| at |sector|; returns the
// sectors that marker and stream take.
uint64_t expectGrain(const Bytes& file, uint64_t sector, uint64_t lba) {
  EXPECT_EQ(le64At(file, at(sector)), lba);
  uint32_t size = le32At(file, at(sector) + 8);
  EXPECT_GT(size, 0u);
  return (12 + size + 511) / 512;
}

// 96 MiB: three tables, of which the middle one maps nothing.
TEST(StreamWriterTest, TablesFollowTheirGrainsThenDirectoryFooterAndEnd) {
  test::ScopedTempDir dir;
  std::string path = dir.file("s.vmdk");
  OutputImage output(path, computeLayout(196608, 1), DiskDescriptor());
  auto writer = output.createStream(true);
  Bytes grain = test::grainOf(0x42);
  writer->writeGrain(1, grain.data(), 65536);
  writer->writeGrain(1030, grain.data(), 100);
  // A stream goes front to back: no grain at or before the last one.
  EXPECT_THROW(writer->writeGrain(1030, grain.data(), 65536), FatalError);
  writer->close();

  Bytes file = test::readBytes(path);
  EXPECT_EQ(le32At(file, 0), 0x564D444Bu);
  EXPECT_EQ(le32At(file, 4), 3u);             // version
  EXPECT_EQ(le32At(file, 8), 0x30001u);       // markers, compressed, newline check
  EXPECT_EQ(le64At(file, 12), 196608u);       // capacity
  EXPECT_EQ(le64At(file, 28), 1u);            // descriptor at sector 1 ...
  EXPECT_EQ(le64At(file, 36), 20u);           // ... of 20 sectors
  EXPECT_EQ(le64At(file, 48), 0u);            // no redundant directory
  EXPECT_EQ(le64At(file, 56), ~uint64_t{0});  // directory named by the footer
  EXPECT_EQ(le64At(file, 64), 128u);          // first grain
  EXPECT_EQ(file[77], 1);                     // deflate
  EXPECT_NE(test::embeddedText(file).find("createType=\"streamOptimized\""), std::string::npos);

  uint64_t s = 128 + expectGrain(file, 128, 128);
  expectMarker(file, s, 4, 1);
  uint64_t table0 = s + 1;
  EXPECT_EQ(le32At(file, at(table0) + 4), 128u);  // entry 1: the grain's marker
  EXPECT_EQ(le32At(file, at(table0)), 0u);
  uint64_t grain1030 = table0 + 4;
  s = grain1030 + expectGrain(file, grain1030, 1030 * 128);
  expectMarker(file, s, 4, 1);
  uint64_t table2 = s + 1;
  EXPECT_EQ(le32At(file, at(table2) + 6 * 4), grain1030);  // 1030 = 2 * 512 + 6
  expectMarker(file, table2 + 4, 1, 2);
  uint64_t directory = table2 + 5;
  EXPECT_EQ(le32At(file, at(directory)), table0);
  EXPECT_EQ(le32At(file, at(directory) + 4), 0u);
  EXPECT_EQ(le32At(file, at(directory) + 8), table2);
  expectMarker(file, directory + 1, 1, 3);
  Bytes footer(file.begin() + at(directory + 2), file.begin() + at(directory + 3));
  Bytes header(file.begin(), file.begin() + 512);
  EXPECT_EQ(le64At(footer, 56), directory);
  std::copy(header.begin() + 56, header.begin() + 64, footer.begin() + 56);
  EXPECT_TRUE(footer == header);
  expectMarker(file, directory + 3, 0, 0);
  EXPECT_EQ(file.size(), at(directory + 4));
}

}  // namespace
}  // namespace skarvel
