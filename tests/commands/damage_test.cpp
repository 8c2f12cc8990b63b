// The damage matrix: an image damaged one structure at a time, as a user
// meets it (a download cut short, a bad sector, a hand-edited descriptor, a
// file swapped for another). info and copy end either with a result that
// the general tool checks clean, or with one line and exit status 1; never
// with a crash, a hang or memory that follows what a header claims.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>

#include "image_builder.h"
#include "run_tool.h"
#include "test_files.h"

namespace skarvel::test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kBaseCid = 0x0BA5E;

// The undamaged images: in.vmdk is an 8 MiB image with grains 0, 5 and a
// short grain 127, its metadata as the sector map puts it (header, descriptor
// at 1-20, redundant directory at 21 with its table at 22, primary directory
// at 26 with its table at 27, grains from sector 128); or a split image of two
// 4 MiB extents; or a child over base.vmdk; or the 8 MiB image
// stream-optimized, whose grains compress into a sector each: grain markers
// at 128, 129 and 130, the table at 132, the directory at 137, the footer at
// 139 and the end-of-stream marker at 140. Or a 64 MiB image built as
// in.vmdk, with grains 0, 5 and 600 at sectors 128, 256 and 384 (redundant
// directory at 21, its tables at 22 and 26; primary directory at 30, its
// tables at 31 and 35); or one skarvel made 64 MiB and grew to 8 GiB, then to
// 16 GiB (directories and new tables at the end each time: the redundant
// directory at 2164, the primary at 3192, its tables 256-511 from 3196, padded
// to 4224), where the general tool wrote grain 0 at 4224.
enum class Kind { kMonolithic, kSplit, kChild, kStream, kTwoTables, kGrown };

struct Images {
  const ScopedTempDir& dir;
  BuiltExtent built;  // of in.vmdk (monolithic), in-s002.vmdk (split) or base.vmdk (child)

  std::string file(const std::string& name) const { return dir.file(name); }
  // Overwrites |width| bytes at |offset| of |name| with |value|, little-endian.
  void patch(const std::string& name, uint64_t offset, uint64_t value, int width = 4) const {
    Bytes bytes = readBytes(file(name));
    if (bytes.size() < offset + width) bytes.resize(offset + width, 0);
    for (int i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    writeBytes(file(name), bytes);
  }
  void truncate(const std::string& name, uint64_t size) const { fs::resize_file(file(name), size); }
  // Adds |text| to the end of in.vmdk's embedded descriptor text.
  void appendToDescriptor(const std::string& text) const {
    Bytes bytes = readBytes(file("in.vmdk"));
    uint64_t end = 512;
    while (bytes[end] != 0) ++end;
    std::copy(text.begin(), text.end(), bytes.begin() + end);
    writeBytes(file("in.vmdk"), bytes);
  }
};

ExtentFixture fixture(uint64_t capacity, const std::string& descriptor) {
  ExtentFixture image;
  image.capacity = capacity;
  image.descriptor = descriptor;
  image.grains = {{0, grainOf(0x11)}, {5, grainOf(0x15)}};
  if (capacity == 16384) image.grains[127] = Bytes(1000, 0x7F);
  if (capacity == 131072) {
    image.grains[600] = grainOf(0x16);
    // Read as a table from its sector 44 on: one entry past the end.
    image.grains[5] = Bytes(65536, 0);
    std::fill_n(image.grains[5].begin() + 44 * 512, 3, 0xFF);
    image.grains[5][44 * 512 + 3] = 0x7F;
  }
  return image;
}

Images make(Kind kind, const ScopedTempDir& dir) {
  Images images{dir, {}};
  const std::string monolithic = "RW 16384 SPARSE \"in.vmdk\"\n";
  switch (kind) {
    case Kind::kMonolithic:
    case Kind::kStream: {
      ExtentFixture image =
          fixture(16384, descriptorText(0x1234, 0xFFFFFFFF, "", "monolithicSparse", monolithic));
      image.streamOptimized = kind == Kind::kStream;
      // Every grain of a stream inflates to a whole grain.
      if (image.streamOptimized) image.grains[127] = grainOf(0x7F);
      images.built = writeSparseExtentFile(dir.file("in.vmdk"), image);
      break;
    }
    case Kind::kSplit:
      writeText(dir.file("in.vmdk"), descriptorText(0x2345, 0xFFFFFFFF, "", "twoGbMaxExtentSparse",
                                                    "RW 8192 SPARSE \"in-s001.vmdk\"\n"
                                                    "RW 8192 SPARSE \"in-s002.vmdk\"\n"));
      writeSparseExtentFile(dir.file("in-s001.vmdk"), fixture(8192, ""));
      images.built = writeSparseExtentFile(dir.file("in-s002.vmdk"), fixture(8192, ""));
      break;
    case Kind::kTwoTables:
      images.built = writeSparseExtentFile(
          dir.file("in.vmdk"),
          fixture(131072, descriptorText(0x4567, 0xFFFFFFFF, "", "monolithicSparse",
                                         "RW 131072 SPARSE \"in.vmdk\"\n")));
      break;
    case Kind::kGrown:
      runSkarvel({"create", "-s", "64M", "in.vmdk"}, dir.path());
      for (const char* size : {"8G", "16G"}) {
        runSkarvel({"grow", "-s", size, "in.vmdk"}, dir.path());
      }
      runProgram("qemu-io", {"-f", "vmdk", "-c", "write -P 0x55 0 64k", "in.vmdk"}, dir.path());
      break;
    case Kind::kChild:
      images.built = writeSparseExtentFile(
          dir.file("base.vmdk"),
          fixture(16384, descriptorText(kBaseCid, 0xFFFFFFFF, "", "monolithicSparse",
                                        "RW 16384 SPARSE \"base.vmdk\"\n")));
      ExtentFixture child = fixture(
          16384, descriptorText(0x3456, kBaseCid, "base.vmdk", "monolithicSparse", monolithic));
      child.grains = {{1, grainOf(0x21)}};
      writeSparseExtentFile(dir.file("in.vmdk"), child);
      break;
  }
  return images;
}

struct Row {
  const char* what;  // what the user has in hand
  Kind kind;
  std::function<void(const Images&)> damage;
  const char* info;  // the one line on standard error, or "" for a report
  const char* copy;  // the same for copy; "" means an output that checks clean
  // What check prints where info reads the image; where info refuses it,
  // check refuses it with the same line.
  const char* check = "0 problems found\n";
  // What check -R prints where it repairs; elsewhere it prints what check
  // does and leaves the files as they were.
  const char* repaired = nullptr;
  // Tables the repair puts at the end of the file, their places in doubt;
  // without them it gives back the image before the damage byte for byte.
  uint64_t appendedTables = 0;
  // grow mends what check finds, where other problems make it refuse.
  bool growMends = false;
  // What copy --salvage tells on standard error, with exit status 2, where
  // the damage loses grains; elsewhere it ends as copy does.
  const char* salvaged = nullptr;
  // For a stream: the one line of copy from standard input, which reads it
  // in order without its directory; nullptr: it copies what copy of the
  // file does.
  const char* fromInput = nullptr;
};

// Header fields (bytes of sector 0).
constexpr uint64_t kVersion = 4, kFlags = 8, kCapacity = 12, kGrainSize = 20;
constexpr uint64_t kDescriptorOffset = 28, kDescriptorSize = 36, kTableEntries = 44;
constexpr uint64_t kRgdOffset = 48, kGdOffset = 56, kOverHead = 64;
constexpr uint64_t kPrimaryTable = 27 * 512;  // of the 8 MiB monolithic image

const char* const kInvalid = "Invalid sparse extent header in in.vmdk";
const char* const kUnsupported = "Unsupported image file in.vmdk";
const char* const kTruncated = "Truncated image file in.vmdk";
const char* const kInvalidStream = "Invalid stream image -";
const char* const kRepairedPrimary =
    "in.vmdk: repaired primary table 0 from the redundant copy\n0 problems found\n";

// The space each grow of the grown image left behind: its old directories
// and tables.
#define GROWN_LEAKS                                                              \
  "in.vmdk: sectors 128 to 129 are named by no table entry (1 grain leaked)\n"   \
  "in.vmdk: sectors 1146 to 1147 are named by no table entry (1 grain leaked)\n" \
  "in.vmdk: sectors 3200 to 3203 are named by no table entry (1 grain leaked)\n" \
  "in.vmdk: sectors 4220 to 4223 are named by no table entry (1 grain leaked)\n"

const Row kRows[] = {
    // The header, one field at a time.
    {"magic overwritten", Kind::kMonolithic, [](auto& i) { i.patch("in.vmdk", 0, 0x58444B4D); },
     kUnsupported, kUnsupported},
    {"version 4", Kind::kMonolithic, [](auto& i) { i.patch("in.vmdk", kVersion, 4); }, kUnsupported,
     kUnsupported},
    {"compressed flag without markers", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kFlags, 3 | (1 << 16)); }, kUnsupported, kUnsupported},
    {"capacity of 2^62 sectors", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kCapacity, uint64_t{1} << 62, 8); }, kInvalid, kInvalid},
    {"capacity of 2^40 sectors and a grain", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kCapacity, (uint64_t{1} << 40) + 128, 8); }, kInvalid,
     kInvalid},
    {"capacity of 0 sectors", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kCapacity, 0, 8); }, "", kUnsupported,
     "in.vmdk: the descriptor's extent lines give 16384 sectors, the header 0\n"
     "in.vmdk: sectors 128 to 385 are named by no table entry (3 grains leaked)\n"
     "1 problem found, 3 leaked grains (harmless)\n"},
    {"capacity of 8 sectors", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kCapacity, 8, 8); }, "", "",
     "in.vmdk: the descriptor's extent lines give 16384 sectors, the header 8\n"
     "in.vmdk: primary table 0 has 2 entries past the capacity, the first entry 5\n"
     "in.vmdk: redundant table 0 has 2 entries past the capacity, the first entry 5\n"
     "in.vmdk: sectors 256 to 385 are named by no table entry (2 grains leaked)\n"
     "3 problems found, 2 leaked grains (harmless)\n"},
    {"grain size 64", Kind::kMonolithic, [](auto& i) { i.patch("in.vmdk", kGrainSize, 64, 8); },
     kUnsupported, kUnsupported},
    {"descriptor offset past the end", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kDescriptorOffset, 1 << 20, 8); }, "", "",
     "in.vmdk: the descriptor area at sector 1048576 lies past the end of the file\n"
     "1 problem found\n"},
    {"descriptor size 0", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kDescriptorSize, 0, 8); }, "", ""},
    {"tables of 8192 entries", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kTableEntries, 8192); }, kInvalid, kInvalid},
    {"tables of 0 entries", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kTableEntries, 0); }, kInvalid, kInvalid},
    {"directory past the end", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kGdOffset, 1 << 20, 8); }, "", "",
     "in.vmdk: primary directory at sector 1048576 lies past the end of the file\n"
     "in.vmdk: primary table 0 and redundant table 0 differ in 3 entries, the first entry 0\n"
     "2 problems found\n",
     nullptr, 0, false, "Lost sectors 0-16383 of in.vmdk\n"},
    {"directory past sector 2^32", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kGdOffset, uint64_t{1} << 32, 8); }, kInvalid, kInvalid},
    {"directory at the redundant one", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kGdOffset, 21, 8); }, "", "",
     "in.vmdk: redundant directory at sector 21 overlaps primary directory at sector 21\n"
     "in.vmdk: redundant table 0 at sector 22 overlaps primary table 0 at sector 22\n"
     "in.vmdk: sectors 128 to 385 are named by no table entry (3 grains leaked)\n"
     "2 problems found, 3 leaked grains (harmless)\n"},
    // Places an in-place writer would follow: sector 2^55 + 128 is 2^64 + 2^16 bytes.
    {"redundant directory whose byte offset wraps", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kRgdOffset, (uint64_t{1} << 55) + 128, 8); }, "", "",
     "in.vmdk: redundant directory at sector 36028797018964096 lies past sector 2^32\n"
     "1 problem found\n"},
    {"overhead of 2^63", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kOverHead, uint64_t{1} << 63, 8); }, kTruncated, kTruncated},
    {"unclean-shutdown mark set", Kind::kMonolithic, [](auto& i) { i.patch("in.vmdk", 72, 1, 1); },
     "", "", "in.vmdk: the header says the file was not closed cleanly\n1 problem found\n",
     "in.vmdk: repaired the header, marked as closed cleanly\n0 problems found\n", 0, true},
    // The descriptor text.
    {"descriptor of binary noise", Kind::kMonolithic,
     [](auto& i) {
       for (uint64_t at = 512; at < 1024; at += 4) i.patch("in.vmdk", at, at * 2654435761u);
     },
     "", ""},
    {"descriptor naming a missing parent", Kind::kMonolithic,
     [](auto& i) { i.appendToDescriptor("parentCID=1\nparentFileNameHint=\"gone.vmdk\"\n"); },
     "Failed to open gone.vmdk", "Failed to open gone.vmdk"},
    {"descriptor naming itself as parent", Kind::kMonolithic,
     [](auto& i) { i.appendToDescriptor("parentCID=1\nparentFileNameHint=\"in.vmdk\"\n"); },
     "Parent chain loops back to in.vmdk", "Parent chain loops back to in.vmdk"},
    // Both directories and the tables.
    {"directory entry past the end", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", 26 * 512, 1 << 24); }, "", "",
     "in.vmdk: primary table 0 at sector 16777216 lies past the end of the file\n"
     "1 problem found\n",
     kRepairedPrimary, 0, false, "Lost sectors 0-16383 of in.vmdk\n"},
    {"directory entry at the descriptor text", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", 26 * 512, 1); }, "", "",
     "in.vmdk: primary table 0 at sector 1 overlaps the descriptor area at sector 1\n"
     "1 problem found\n",
     kRepairedPrimary, 0, false,
     // Table 0 read from the text: its 55 whole groups of 4 name sectors past the end.
     "Lost sectors 0-7039 of in.vmdk\n"},
    {"primary directory entry zeroed", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", 26 * 512, 0); }, "", "",
     "in.vmdk: primary table 0 and redundant table 0 differ in 3 entries, the first entry 0\n"
     "1 problem found\n",
     kRepairedPrimary},
    {"both directories zeroed", Kind::kMonolithic,
     [](auto& i) {
       i.patch("in.vmdk", 21 * 512, 0);
       i.patch("in.vmdk", 26 * 512, 0);
     },
     "", "",
     "in.vmdk: primary table 0 at sector 27 names 3 grains, but no directory entry names it "
     "(lost)\n"
     "in.vmdk: redundant table 0 at sector 22 names 3 grains, but no directory entry names it "
     "(lost)\n"
     "2 problems found\n",
     "in.vmdk: repaired primary table 0 found at sector 27\n"
     "in.vmdk: repaired redundant table 0 found at sector 22\n0 problems found\n"},
    {"both directory entries of a table zeroed, one copy of the table too", Kind::kTwoTables,
     [](auto& i) {
       i.patch("in.vmdk", 30 * 512 + 4, 0);
       i.patch("in.vmdk", 21 * 512 + 4, 0);
       i.patch("in.vmdk", 26 * 512 + 88 * 4, 0);  // the one grain redundant table 1 names
     },
     "", "",
     "in.vmdk: primary table 1 at sector 35 names 1 grain, but no directory entry names it "
     "(lost)\n1 problem found\n",
     "in.vmdk: repaired primary table 1 found at sector 35\n"
     "in.vmdk: repaired redundant table 1 from the primary copy\n0 problems found\n",
     1},
    {"redundant directory entries naming the primary table and into a grain", Kind::kTwoTables,
     [](auto& i) {
       i.patch("in.vmdk", 21 * 512, 31);
       i.patch("in.vmdk", 21 * 512 + 4, 300);  // inside grain 5, which only table 0 names
     },
     "", "",
     "in.vmdk: redundant table 0 at sector 31 overlaps primary table 0 at sector 31\n"
     "in.vmdk: grain 512 (redundant table 1 entry 0) at sector 2147483647 lies past the end of "
     "the file\n"
     "in.vmdk: primary table 1 and redundant table 1 differ in 2 entries, the first entry 0\n"
     "in.vmdk: sectors 128 to 299 are named by no table entry (2 grains leaked)\n"
     "in.vmdk: sectors 304 to 383 are named by no table entry (1 grain leaked)\n"
     "3 problems found, 3 leaked grains (harmless)\n",
     "in.vmdk: repaired redundant table 1 from the primary copy\n"
     "in.vmdk: redundant table 0 at sector 31 overlaps primary table 0 at sector 31\n"
     "in.vmdk: sectors 128 to 383 are named by no table entry (2 grains leaked)\n"
     "1 problem found, 2 leaked grains (harmless)\n",
     1},
    {"directory entry flipped into a grain both copies name", Kind::kTwoTables,
     [](auto& i) { i.patch("in.vmdk", 30 * 512 + 4, 35 | 128); }, "", "",
     "in.vmdk: primary table 1 at sector 163 overlaps grain 0 (primary table 0 entry 0) at sector "
     "128\n1 problem found\n",
     "in.vmdk: repaired primary table 1 from the redundant copy\n0 problems found\n", 0, false,
     // Table 1 read from grain 0's bytes, 0x11111111 each: past the end.
     "Lost sectors 65536-131071 of in.vmdk\n"},
    {"redundant directory entry flipped into a grain both copies name", Kind::kTwoTables,
     [](auto& i) { i.patch("in.vmdk", 21 * 512 + 4, 26 | 128); }, "", "",
     "in.vmdk: redundant table 1 at sector 154 overlaps grain 0 (primary table 0 entry 0) at "
     "sector 128\n1 problem found\n",
     "in.vmdk: repaired redundant table 1 from the primary copy\n0 problems found\n"},
    {"directory entry inside a grain the other copy names", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", 26 * 512, 130); }, "", "",
     "in.vmdk: primary table 0 at sector 130 overlaps grain 0 (redundant table 0 entry 0) at "
     "sector 128\n1 problem found\n",
     kRepairedPrimary, 0, false, "Lost sectors 0-16383 of in.vmdk\n"},
    {"grown twice, a directory entry and a table entry past the end", Kind::kGrown,
     [](auto& i) {
       i.patch("in.vmdk", 3192 * 512 + 257 * 4, 0x7FFFFFFF);
       i.patch("in.vmdk", 31 * 512 + 5 * 4, 0x7FFFFFFF);
     },
     "", "",
     "in.vmdk: primary table 257 at sector 2147483647 lies past the end of the file\n"
     "in.vmdk: grain 5 (primary table 0 entry 5) at sector 2147483647 lies past the end of the "
     "file\n"
     "in.vmdk: primary table 0 and redundant table 0 differ in 1 entry, the first entry "
     "5\n" GROWN_LEAKS "3 problems found, 4 leaked grains (harmless)\n",
     "in.vmdk: repaired primary table 0 from the redundant copy\n"
     "in.vmdk: repaired primary table 257 from the redundant copy\n" GROWN_LEAKS
     "0 problems found, 4 leaked grains (harmless)\n",
     1, false,
     // Grain 5, and table 257: grains 257 x 512 to 258 x 512 - 1.
     "Lost sectors 640-767 of in.vmdk\nLost sectors 16842752-16908287 of in.vmdk\n"},
    {"table entry past the end", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kPrimaryTable + 4 * 5, 0x7FFFFFFF); }, "", "",
     "in.vmdk: grain 5 (primary table 0 entry 5) at sector 2147483647 lies past the end of the "
     "file\n"
     "in.vmdk: primary table 0 and redundant table 0 differ in 1 entry, the first entry 5\n"
     "2 problems found\n",
     kRepairedPrimary, 0, false, "Lost sectors 640-767 of in.vmdk\n"},
    {"unclean-shutdown mark and a table entry past the end", Kind::kMonolithic,
     [](auto& i) {
       i.patch("in.vmdk", 72, 1, 1);
       i.patch("in.vmdk", kPrimaryTable + 4 * 5, 0x7FFFFFFF);
     },
     "", "",
     "in.vmdk: the header says the file was not closed cleanly\n"
     "in.vmdk: grain 5 (primary table 0 entry 5) at sector 2147483647 lies past the end of the "
     "file\n"
     "in.vmdk: primary table 0 and redundant table 0 differ in 1 entry, the first entry 5\n"
     "3 problems found\n",
     "in.vmdk: repaired primary table 0 from the redundant copy\n"
     "in.vmdk: repaired the header, marked as closed cleanly\n0 problems found\n",
     0, false, "Lost sectors 640-767 of in.vmdk\n"},
    {"table entry into the metadata", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kPrimaryTable + 4 * 5, 21); }, "", "",
     "in.vmdk: primary table 0 and redundant table 0 differ in 1 entry, the first entry 5\n"
     "in.vmdk: grain 5 (primary table 0 entry 5) at sector 21 overlaps redundant directory at "
     "sector 21\n"
     "in.vmdk: grain 0 (primary table 0 entry 0) at sector 128 overlaps grain 5 (primary table 0 "
     "entry 5) at sector 21\n"
     "3 problems found\n",
     kRepairedPrimary},
    {"two entries naming one grain", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kPrimaryTable + 4 * 9, i.built.grainSector.at(5)); }, "", "",
     "in.vmdk: primary table 0 and redundant table 0 differ in 1 entry, the first entry 9\n"
     "in.vmdk: grain 9 (primary table 0 entry 9) at sector 256 overlaps grain 5 (primary table 0 "
     "entry 5) at sector 256\n"
     "2 problems found\n",
     kRepairedPrimary},
    {"table entry of 1 without zeroed grains", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", kPrimaryTable + 4 * 9, 1); }, "", "",
     "in.vmdk: primary table 0 and redundant table 0 differ in 1 entry, the first entry 9\n"
     "in.vmdk: grain 9 (primary table 0 entry 9) at sector 1 overlaps the descriptor area at "
     "sector 1\n"
     "in.vmdk: grain 0 (primary table 0 entry 0) at sector 128 overlaps grain 9 (primary table 0 "
     "entry 9) at sector 1\n"
     "3 problems found\n",
     kRepairedPrimary},
    {"redundant table entry past the end", Kind::kMonolithic,
     [](auto& i) { i.patch("in.vmdk", 22 * 512 + 4 * 5, 0x7FFFFFFF); }, "", "",
     "in.vmdk: grain 5 (redundant table 0 entry 5) at sector 2147483647 lies past the end of the "
     "file\n"
     "in.vmdk: primary table 0 and redundant table 0 differ in 1 entry, the first entry 5\n"
     "2 problems found\n",
     "in.vmdk: repaired redundant table 0 from the primary copy\n0 problems found\n"},
    // Entry 200 of both tables names grain 0, past the 128 grains of the disk.
    {"entries past the capacity", Kind::kMonolithic,
     [](auto& i) {
       i.patch("in.vmdk", kPrimaryTable + 4 * 200, i.built.grainSector.at(0));
       i.patch("in.vmdk", 22 * 512 + 4 * 200, i.built.grainSector.at(0));
     },
     "", "",
     "in.vmdk: primary table 0 has 1 entry past the capacity, the first entry 200\n"
     "in.vmdk: redundant table 0 has 1 entry past the capacity, the first entry 200\n"
     "2 problems found\n",
     nullptr, 0, true},
    // Stream-optimized images.
    {"stream grain marker for another grain", Kind::kStream,
     [](auto& i) { i.patch("in.vmdk", 129 * 512, 6 * 128, 8); }, "", "",
     "in.vmdk: grain 5 (primary table 0 entry 5) at sector 129 names the grain of disk sector "
     "768\n1 problem found\n",
     nullptr, 0, false, nullptr, kInvalidStream},
    {"stream grain marker for a grain that came before", Kind::kStream,
     [](auto& i) { i.patch("in.vmdk", 129 * 512, 0, 8); }, "", "",
     "in.vmdk: grain 5 (primary table 0 entry 5) at sector 129 names the grain of disk sector "
     "0\n1 problem found\n",
     nullptr, 0, false, nullptr, kInvalidStream},
    {"stream grain named by no entry and damaged", Kind::kStream,
     [](auto& i) {
       i.patch("in.vmdk", 132 * 512, 0);
       i.patch("in.vmdk", 128 * 512 + 14, 0xFFFFFFFF);
     },
     "", "",
     "in.vmdk: grain marker at sector 128 holds no whole compressed grain\n"
     "in.vmdk: grain marker at sector 128 is named by no table entry (leak)\n"
     "1 problem found, 1 leaked grain (harmless)\n",
     nullptr, 0, false, nullptr, "Failed to read file -"},
    {"stream grain that does not inflate", Kind::kStream,
     [](auto& i) { i.patch("in.vmdk", 129 * 512 + 14, 0xFFFFFFFF); }, "",
     "Failed to read file in.vmdk",
     "in.vmdk: grain marker at sector 129 holds no whole compressed grain\n1 problem found\n",
     nullptr, 0, false, "Lost sectors 640-767 of in.vmdk\n", "Failed to read file -"},
    {"stream footer naming another directory", Kind::kStream,
     [](auto& i) { i.patch("in.vmdk", 139 * 512 + kGdOffset, 5, 8); }, "", "",
     "in.vmdk: the footer at sector 139 does not name directory sector 137\n1 problem found\n"},
    {"grown twice, directory entries past the end where two layout places coincide", Kind::kGrown,
     [](auto& i) {
       // Primary table 1 and redundant table 258 (both empty) have their
       // layout place at 3196 + 4 = 2168 + 4 x 258 = 3200, free once
       // primary table 257, there, has lost its entry too.
       i.patch("in.vmdk", 3192 * 512 + 1 * 4, 0x7FFFFFFF);
       i.patch("in.vmdk", 3192 * 512 + 257 * 4, 0x7FFFFFFF);
       i.patch("in.vmdk", 2164 * 512 + 258 * 4, 0x7FFFFFFF);
     },
     "", "",
     "in.vmdk: primary table 1 at sector 2147483647 lies past the end of the file\n"
     "in.vmdk: primary table 257 at sector 2147483647 lies past the end of the file\n"
     "in.vmdk: redundant table 258 at sector 2147483647 lies past the end of the file\n"
     "in.vmdk: sectors 128 to 129 are named by no table entry (1 grain leaked)\n"
     "in.vmdk: sectors 1146 to 1147 are named by no table entry (1 grain leaked)\n"
     "in.vmdk: sectors 2176 to 2179 are named by no table entry (1 grain leaked)\n"
     "in.vmdk: sectors 3200 to 3203 are named by no table entry (1 grain leaked)\n"
     "in.vmdk: sectors 4220 to 4223 are named by no table entry (1 grain leaked)\n"
     "3 problems found, 5 leaked grains (harmless)\n",
     "in.vmdk: repaired primary table 1 from the redundant copy\n"
     "in.vmdk: repaired primary table 257 from the redundant copy\n"
     "in.vmdk: repaired redundant table 258 from the primary copy\n"
     "in.vmdk: sectors 128 to 129 are named by no table entry (1 grain leaked)\n"
     "in.vmdk: sectors 1146 to 1147 are named by no table entry (1 grain leaked)\n"
     "in.vmdk: sectors 2176 to 2179 are named by no table entry (1 grain leaked)\n"
     "in.vmdk: sectors 4220 to 4223 are named by no table entry (1 grain leaked)\n"
     "0 problems found, 4 leaked grains (harmless)\n",
     2, false,
     // Tables 1 and 257 (the redundant one is not read).
     "Lost sectors 65536-131071 of in.vmdk\nLost sectors 16842752-16908287 of in.vmdk\n"},
    {"stream footer giving another capacity", Kind::kStream,
     [](auto& i) { i.patch("in.vmdk", 139 * 512 + kCapacity, 32768, 8); }, "", "",
     "in.vmdk: the footer at sector 139 gives capacity 32768, the header 16384\n1 problem found\n"},
    {"stream table marker announcing 2^40 sectors", Kind::kStream,
     [](auto& i) { i.patch("in.vmdk", 131 * 512, uint64_t{1} << 40, 8); }, "", "",
     "in.vmdk: marker at sector 131 announces 1099511627776 sectors\n1 problem found\n", nullptr, 0,
     false, nullptr, kInvalidStream},
    {"stream descriptor offset whose end wraps past 2^64", Kind::kStream,
     [](auto& i) { i.patch("in.vmdk", kDescriptorOffset, ~uint64_t{0} - 9, 8); }, kInvalid,
     kInvalid, "", nullptr, 0, false, nullptr, kInvalidStream},
    {"stream directory marker announcing 2^40 sectors", Kind::kStream,
     [](auto& i) { i.patch("in.vmdk", 136 * 512, uint64_t{1} << 40, 8); }, "", "",
     "in.vmdk: marker at sector 136 announces 1099511627776 sectors\n1 problem found\n", nullptr, 0,
     false, nullptr, kInvalidStream},
    // The stream ends before the footer that names its directory: a reader
    // that reads in order has no directory to go by either.
    {"stream footer marker made an end-of-stream marker", Kind::kStream,
     [](auto& i) {
       i.patch("in.vmdk", kGdOffset, ~uint64_t{0}, 8);  // the directory is the footer's
       i.patch("in.vmdk", 138 * 512, 0, 8);
       i.patch("in.vmdk", 138 * 512 + 12, 0);
     },
     "Failed to read file in.vmdk", "Failed to read file in.vmdk", "", nullptr, 0, false, nullptr,
     kInvalidStream},
    {"stream without its end-of-stream marker", Kind::kStream,
     [](auto& i) { i.truncate("in.vmdk", 140 * 512); }, "", "",
     "in.vmdk: the stream ends at sector 140 without an end-of-stream marker\n1 problem found\n",
     nullptr, 0, false, nullptr, "Truncated image file -"},
    // Files cut short at each structure boundary.
    {"empty file", Kind::kMonolithic, [](auto& i) { i.truncate("in.vmdk", 0); }, kUnsupported,
     kUnsupported},
    {"cut inside the header", Kind::kMonolithic, [](auto& i) { i.truncate("in.vmdk", 60); },
     kTruncated, kTruncated},
    {"cut after the header record", Kind::kMonolithic, [](auto& i) { i.truncate("in.vmdk", 97); },
     kTruncated, kTruncated},
    {"cut inside the descriptor", Kind::kMonolithic, [](auto& i) { i.truncate("in.vmdk", 700); },
     kTruncated, kTruncated},
    {"cut inside the primary table", Kind::kMonolithic,
     [](auto& i) { i.truncate("in.vmdk", kPrimaryTable + 8); }, kTruncated, kTruncated},
    {"cut at the first grain", Kind::kMonolithic, [](auto& i) { i.truncate("in.vmdk", 128 * 512); },
     "", "",
     "in.vmdk: grain 0 (primary table 0 entry 0) at sector 128 lies past the end of the file\n"
     "in.vmdk: grain 5 (primary table 0 entry 5) at sector 256 lies past the end of the file\n"
     "in.vmdk: grain 127 (primary table 0 entry 127) at sector 384 lies past the end of the file\n"
     "3 problems found\n",
     nullptr, 0, false,
     "Lost sectors 0-127 of in.vmdk\nLost sectors 640-767 of in.vmdk\n"
     "Lost sectors 16256-16383 of in.vmdk\n"},
    {"cut inside a grain", Kind::kMonolithic,
     [](auto& i) { i.truncate("in.vmdk", i.built.grainSector.at(5) * 512 + 1000); }, "", "",
     "in.vmdk: grain 127 (primary table 0 entry 127) at sector 384 lies past the end of the file\n"
     "1 problem found\n",
     nullptr, 0, false, "Lost sectors 16256-16383 of in.vmdk\n"},
    // Split images.
    {"extent missing", Kind::kSplit, [](auto& i) { fs::remove(i.file("in-s002.vmdk")); },
     "Failed to open in-s002.vmdk", "Failed to open in-s002.vmdk"},
    {"middle extent ending inside a grain", Kind::kSplit,
     [](auto& i) { i.patch("in-s001.vmdk", kCapacity, 8191, 8); },
     "Unsupported extent file in-s001.vmdk", "Unsupported extent file in-s001.vmdk"},
    {"extents swapped", Kind::kSplit,
     [](auto& i) {
       fs::rename(i.file("in-s001.vmdk"), i.file("x"));
       fs::rename(i.file("in-s002.vmdk"), i.file("in-s001.vmdk"));
       fs::rename(i.file("x"), i.file("in-s002.vmdk"));
     },
     "", ""},
    {"extent replaced by text", Kind::kSplit,
     [](auto& i) { writeText(i.file("in-s002.vmdk"), "not an extent\n"); },
     "Unsupported extent file in-s002.vmdk", "Unsupported extent file in-s002.vmdk"},
    {"extent cut inside its tables", Kind::kSplit,
     [](auto& i) { i.truncate("in-s002.vmdk", 10000); }, "Truncated image file in-s002.vmdk",
     "Truncated image file in-s002.vmdk"},
    {"ZERO extents adding up past 2^40 sectors", Kind::kSplit,
     [](auto& i) { writeText(i.file("in.vmdk"), "RW 1099511627776 ZERO\nRW 128 ZERO\n"); },
     kUnsupported, kUnsupported},
    {"ZERO extent of size 0", Kind::kSplit,
     [](auto& i) { writeText(i.file("in.vmdk"), "RW 0 ZERO\n"); }, kUnsupported, kUnsupported},
    {"FLAT extent of a size that is no number", Kind::kSplit,
     [](auto& i) { writeText(i.file("in.vmdk"), "RW many FLAT \"in-s001.vmdk\" 0\n"); },
     kUnsupported, kUnsupported},
    {"FLAT extent far past the end of its file", Kind::kSplit,
     [](auto& i) {
       writeText(i.file("in.vmdk"), descriptorText(0x2345, 0xFFFFFFFF, "", "monolithicFlat",
                                                   "RW 8388608 FLAT \"in-s001.vmdk\" 0\n"));
     },
     "", "",
     "in.vmdk: extent line 1 (in-s001.vmdk): the FLAT file is a sparse extent file\n"
     "in.vmdk: extent line 1 (in-s001.vmdk): the file holds 384 of its 8388608 sectors\n"
     "2 problems found\n",
     nullptr, 0, false, "Lost sectors 384-8388607 of in.vmdk\n"},
    {"extent header of 2^62 sectors", Kind::kSplit,
     [](auto& i) { i.patch("in-s002.vmdk", kCapacity, uint64_t{1} << 62, 8); },
     "Invalid sparse extent header in in-s002.vmdk",
     "Invalid sparse extent header in in-s002.vmdk"},
    // Chains.
    {"parent replaced by another image", Kind::kChild,
     [](auto& i) {
       writeSparseExtentFile(i.file("base.vmdk"),
                             fixture(8192, descriptorText(7, 0xFFFFFFFF, "", "x", "")));
     },
     "", "",
     "in.vmdk: parentCID 0000ba5e is not the CID 00000007 of its parent base.vmdk\n"
     "1 problem found\n"},
    {"parent cut short", Kind::kChild, [](auto& i) { i.truncate("base.vmdk", 600); },
     "Truncated image file base.vmdk", "Truncated image file base.vmdk"},
    {"parent replaced by text", Kind::kChild,
     [](auto& i) { writeText(i.file("base.vmdk"), "# just a comment\n"); },
     "Unsupported image file base.vmdk", "Unsupported image file base.vmdk"},
    {"parent replaced by a directory", Kind::kChild,
     [](auto& i) {
       fs::remove(i.file("base.vmdk"));
       fs::create_directory(i.file("base.vmdk"));
     },
     "Failed to open base.vmdk", "Failed to open base.vmdk"},
};

// The status of a check that prints |out|: its count, the last line, is 0
// only when nothing is wrong.
int statusOf(const std::string& out) {
  return out.compare(out.rfind('\n', out.size() - 2) + 1, 2, "0 ") == 0 ? 0 : 2;
}

// The lines of check's text before its count, or of its JSON report
// (problems and leaks), sorted.
std::vector<std::string> sortedLines(const std::string& text, const nlohmann::json& report) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  if (!text.empty()) lines.pop_back();
  for (const char* list : {"problems", "leaks"}) {
    for (const auto& f : report.value(list, nlohmann::json::array())) {
      lines.push_back(f["file"].get<std::string>() + ": " + f["text"].get<std::string>());
    }
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The kinds of problem check --json names, each between spaces.
constexpr const char* kKinds =
    " past_end overlap lost_table no_grain_marker wrong_grain tables_differ past_capacity"
    " misplaced_grain oversized_grain bad_compressed_grain footer_mismatch truncated"
    " unknown_marker bad_marker leak past_sector_limit size_mismatch flat_is_sparse cid_mismatch"
    " unclean_shutdown ";

TEST(DamageTest, CheckFindsWhatTheGeneralToolFindsAndSaysWhere) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.what);
    ScopedTempDir dir;
    Images images = make(row.kind, dir);
    fs::copy_file(dir.file("in.vmdk"), dir.file("intact.vmdk"));
    row.damage(images);
    RunResult run = runSkarvel({"check", "in.vmdk"}, dir.path());
    if (*row.info != '\0') {
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.err, row.info + std::string("\n"));
      continue;
    }
    RunResult qemu = runProgram("qemu-img", {"check", "in.vmdk"}, dir.path());
    EXPECT_EQ(run.out, row.check);
    EXPECT_EQ(run.status, statusOf(row.check));
    // The report for programs holds the same lines, and its clean flag is
    // the exit status.
    RunResult json = runSkarvel({"check", "--json", "in.vmdk"}, dir.path());
    EXPECT_EQ(json.status, run.status);
    auto report = nlohmann::json::parse(json.out);
    EXPECT_EQ(report["clean"], run.status == 0);
    EXPECT_EQ(sortedLines("", report), sortedLines(run.out, nlohmann::json::object()));
    // Each says where and what: a place, and a kind from the documented set,
    // "leak" exactly for the leaks.
    for (const char* list : {"problems", "leaks"}) {
      for (const auto& f : report[list]) {
        EXPECT_TRUE(f["place"].is_string() && f["place"] != "") << f;
        EXPECT_EQ(f["kind"] == "leak", list == std::string("leaks")) << f;
        std::string kind = f["kind"].get<std::string>();
        kind.insert(0, 1, ' ').push_back(' ');
        EXPECT_NE(std::string(kKinds).find(kind), std::string::npos) << f;
      }
    }
    // Corruption the general tool finds (its status 2, or an ERROR line
    // that ends its check) is found here too.
    if (qemu.status == 2 || qemu.out.find("ERROR") != std::string::npos) {
      EXPECT_EQ(run.status, 2) << qemu.out;
    }
    Bytes before = readBytes(dir.file("in.vmdk"));
    RunResult repair = runSkarvel({"check", "-R", "in.vmdk"}, dir.path());
    if (row.repaired == nullptr) {
      if (row.kind == Kind::kStream) {
        EXPECT_EQ(repair.err, "Cannot repair stream-optimized image in.vmdk\n");
      } else {
        EXPECT_EQ(repair.out, run.out);
      }
      EXPECT_TRUE(readBytes(dir.file("in.vmdk")) == before);
      continue;
    }
    EXPECT_EQ(repair.out, row.repaired);
    EXPECT_EQ(repair.status, statusOf(row.repaired));
    // Every grain reads as before the damage, in an image the general tool
    // finds clean: byte for byte the image before the damage, but for
    // tables put at the end of the file.
    Bytes repaired = readBytes(dir.file("in.vmdk")), intact = readBytes(dir.file("intact.vmdk"));
    RunResult compare = runProgram("qemu-img", {"compare", "intact.vmdk", "in.vmdk"}, dir.path());
    EXPECT_EQ(compare.status, 0) << compare.out << compare.err;
    EXPECT_EQ(runProgram("qemu-img", {"check", "in.vmdk"}, dir.path()).status, 0);
    if (row.appendedTables == 0) {
      EXPECT_TRUE(repaired == intact);
    }
    EXPECT_EQ(repaired.size(), intact.size() + row.appendedTables * 2048);
    // A second run finds nothing to repair and writes nothing.
    std::string remains = row.repaired;
    while (remains.starts_with("in.vmdk: repaired ")) remains.erase(0, remains.find('\n') + 1);
    EXPECT_EQ(runSkarvel({"check", "-R", "in.vmdk"}, dir.path()).out, remains);
    EXPECT_TRUE(readBytes(dir.file("in.vmdk")) == repaired);
  }
}

// check -R made to fail at each write in turn: the image it leaves reads as
// the damaged one or as the one before the damage, and a rerun finishes.
TEST(DamageTest, ARepairFailedAtAnyWriteLeavesOldOrNewAndARerunFinishes) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  auto same = [](const ScopedTempDir& dir, const char* a, const char* b) {
    return runProgram("qemu-img", {"compare", a, b}, dir.path()).status == 0;
  };
  for (const Row& row : kRows) {
    if (row.repaired == nullptr) continue;
    SCOPED_TRACE(row.what);
    ScopedTempDir original;
    Images images = make(row.kind, original);
    RunResult intact = runSkarvel({"copy", "in.vmdk", "intact.vmdk"}, original.path());
    ASSERT_EQ(intact.status, 0) << intact.err;
    row.damage(images);
    RunResult damaged = runSkarvel({"copy", "in.vmdk", "damaged.vmdk"}, original.path());
    ASSERT_EQ(damaged.status, 0) << damaged.err;
    for (uint64_t writes = 0;; ++writes) {
      SCOPED_TRACE(writes);
      ScopedTempDir dir;
      for (const char* name : {"in.vmdk", "intact.vmdk", "damaged.vmdk"}) {
        fs::copy_file(original.file(name), dir.file(name));
      }
      int status = runFailingWritesAfter(writes, {"check", "-R", dir.file("in.vmdk")});
      ASSERT_EQ(runSkarvel({"copy", "in.vmdk", "left.vmdk"}, dir.path()).status, 0);
      EXPECT_TRUE(same(dir, "left.vmdk", "damaged.vmdk") || same(dir, "left.vmdk", "intact.vmdk"));
      RunResult rerun = runSkarvel({"check", "-R", "in.vmdk"}, dir.path());
      EXPECT_EQ(rerun.status, statusOf(row.repaired)) << rerun.out;
      EXPECT_TRUE(same(dir, "in.vmdk", "intact.vmdk"));
      if (status != 1) {
        EXPECT_EQ(status, statusOf(row.repaired));
        break;
      }
      ASSERT_LT(writes, 20u);
    }
  }
}

TEST(DamageTest, InfoAndCopyEndWithAResultOrOneLine) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.what);
    ScopedTempDir dir;
    row.damage(make(row.kind, dir));
    for (const char* command : {"info", "copy"}) {
      std::string expected = command == std::string("info") ? row.info : row.copy;
      RunResult run = runSkarvel({command, "in.vmdk", "out.vmdk"}, dir.path());
      SCOPED_TRACE(command);
      if (!expected.empty()) {
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, expected + "\n");
        // A copy that fails on a grain (where --salvage goes on) has begun.
        if (command == std::string("copy") && row.salvaged != nullptr) continue;
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(fileExists(dir.file("out.vmdk")));
        continue;
      }
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(run.err, "");
      if (command == std::string("copy")) {
        RunResult check = runProgram("qemu-img", {"check", "out.vmdk"}, dir.path());
        EXPECT_EQ(check.status, 0) << check.out << check.err;
        // Where the general tool reads the damaged input at all, the copy
        // holds what it reads there (status 2: it cannot open the input).
        RunResult compare = runProgram("qemu-img", {"compare", "in.vmdk", "out.vmdk"}, dir.path());
        EXPECT_NE(compare.status, 1) << compare.out << compare.err;
      }
    }
  }
}

// copy --salvage ends as copy does where the damage loses no grain that a
// read can tell; elsewhere it tells each lost range, ends with status 2, and
// its output checks clean and reads as copy without it reads the damaged
// image (zeros where data is missing), or, where copy fails, as the image
// before the damage with zeros in the lost ranges.
TEST(DamageTest, SalvageTellsTheLostRangesAndCopiesTheRest) {
  SKARVEL_REQUIRE_PEER("qemu-img");
  SKARVEL_REQUIRE_PEER("qemu-io");
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.what);
    ScopedTempDir dir;
    Images images = make(row.kind, dir);
    runSkarvel({"copy", "in.vmdk", "intact.vmdk"}, dir.path());
    row.damage(images);
    RunResult run = runSkarvel({"copy", "--salvage", "in.vmdk", "out.vmdk"}, dir.path());
    if (row.salvaged == nullptr) {
      EXPECT_EQ(run.status, *row.copy ? 1 : 0);
      EXPECT_EQ(run.err, *row.copy ? row.copy + std::string("\n") : "");
      continue;
    }
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, row.salvaged);
    EXPECT_EQ(runSkarvel({"check", "out.vmdk"}, dir.path()).out, "0 problems found\n");
    if (*row.copy == '\0') {
      runSkarvel({"copy", "in.vmdk", "plain.vmdk"}, dir.path());
      RunResult compare = runProgram("qemu-img", {"compare", "plain.vmdk", "out.vmdk"}, dir.path());
      EXPECT_EQ(compare.status, 0) << compare.out << compare.err;
      continue;
    }
    std::istringstream lost(row.salvaged);
    for (uint64_t first, last; lost.ignore(13) >> first && lost.ignore(1) >> last;) {
      lost.ignore(100, '\n');
      std::string zeros = "write -z " + std::to_string(first * 512) + " " +
                          std::to_string((last + 1 - first) * 512);
      runProgram("qemu-io", {"-c", zeros, "intact.vmdk"}, dir.path());
    }
    RunResult compare = runProgram("qemu-img", {"compare", "intact.vmdk", "out.vmdk"}, dir.path());
    EXPECT_EQ(compare.status, 0) << compare.out << compare.err;
  }
}

// copy - reads a stream from standard input once, in order, without its
// directory: it holds what a copy of the file holds, or ends with one line.
TEST(DamageTest, CopyFromStandardInputHoldsWhatTheFileReadsOrRefuses) {
  for (const Row& row : kRows) {
    if (row.kind != Kind::kStream) continue;
    SCOPED_TRACE(row.what);
    ScopedTempDir dir;
    row.damage(make(row.kind, dir));
    RunResult run = runSkarvelReading(dir.file("in.vmdk"), {"copy", "-", "out.vmdk"}, dir.path());
    if (row.fromInput != nullptr) {
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.err, std::string(row.fromInput) + "\n");
      continue;
    }
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(runSkarvel({"copy", "in.vmdk", "file.vmdk"}, dir.path()).status, 0);
    EXPECT_EQ(runSkarvel({"compare", "file.vmdk", "out.vmdk"}, dir.path()).out, "Identical\n");
  }
}

// grow ends with info's line where info refuses, and where check finds
// problems with one line before its first write; otherwise the grown image
// (its short last grain, the stale entries it clears) checks clean.
TEST(DamageTest, GrowRefusesDamageOrLeavesAnImageThatChecksClean) {
  for (const Row& row : kRows) {
    if (row.kind == Kind::kStream || (row.kind == Kind::kChild && *row.info == '\0')) continue;
    SCOPED_TRACE(row.what);
    ScopedTempDir dir;
    row.damage(make(row.kind, dir));
    bool refused = runSkarvel({"check", "in.vmdk"}, dir.path()).status != 0 && !row.growMends;
    auto before = snapshot(dir.path());
    RunResult grow = runSkarvel({"grow", "-s", "20G", "in.vmdk"}, dir.path());
    EXPECT_EQ(grow.status, refused ? 1 : 0);
    EXPECT_TRUE(refused || runSkarvel({"check", "in.vmdk"}, dir.path()).status == 0);
    if (!refused) continue;
    EXPECT_EQ(grow.err, std::string(*row.info ? row.info : "Damaged image file in.vmdk") + "\n");
    EXPECT_EQ(snapshot(dir.path()), before);
  }
}

}  // namespace
}  // namespace skarvel::test
