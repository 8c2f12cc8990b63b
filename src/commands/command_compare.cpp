#include "commands/command_compare.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "base/fatal_error.h"
#include "commands/json_report.h"
#include "format/units.h"
#include "platform/file.h"
#include "reader/chain_reader.h"
#include "reader/open_image.h"

namespace skarvel {

namespace {

constexpr int kReadLocked =
    platform::kOpenBinary | platform::kOpenReadOnly | platform::kOpenLockRead;
constexpr int kExitDifferent = 2;

// One input as the disk it shows: a raw disk, or an image over all of its
// parents.
struct Input {
  std::unique_ptr<VMDKReader> reader;
  uint64_t bytes = 0;
  std::vector<uint8_t> grain;
  uint64_t dataFrom = 0;  // grains before it read as zeros

  Input(const std::string& path, bool raw, bool vhd = false)
      : reader(raw ? openRawImage(path, kReadLocked, vhd)
                   : openWithParents(path, kReadLocked, kReadLocked)),
        bytes(reader->capacity() * kSectorBytes),
        grain(kGrainBytes) {}

  // Fills |grain| with grain |index| as the disk shows it, zeros past the
  // disk's end included. Returns false, leaving |grain| alone, when the
  // whole grain reads as zeros without a read of data. Indexes come in
  // increasing order.
  bool load(uint64_t index) {
    uint64_t start = index * kGrainBytes;
    if (start >= bytes) return false;
    // What the reader knows to read as zeros (holes of a raw disk) is passed
    // by unread.
    if (index >= dataFrom) dataFrom = reader->nextGrainWithData(index);
    if (index < dataFrom) return false;
    uint32_t n = reader->readGrain(index, grain.data(), static_cast<uint32_t>(kGrainBytes));
    if (n == 0 || n == kZeroedGrain) return false;
    // A grain stored whole may hold bytes past the disk's end: they are not
    // part of what it shows.
    uint64_t shown = std::min<uint64_t>(n, bytes - start);
    std::fill(grain.begin() + static_cast<ptrdiff_t>(shown), grain.end(), 0);
    return true;
  }
};

const std::vector<uint8_t>& zeros() {
  static const std::vector<uint8_t> grain(kGrainBytes, 0);
  return grain;
}

// The offset of the first byte that differs, or nothing.
std::optional<uint64_t> firstDifference(Input& first, Input& second) {
  uint64_t grains = (std::max(first.bytes, second.bytes) + kGrainBytes - 1) / kGrainBytes;
  for (uint64_t i = 0; i < grains; ++i) {
    bool firstHolds = first.load(i), secondHolds = second.load(i);
    if (!firstHolds && !secondHolds) continue;
    const std::vector<uint8_t>& a = firstHolds ? first.grain : zeros();
    const std::vector<uint8_t>& b = secondHolds ? second.grain : zeros();
    // memcmp passes equal grains by far faster than a byte loop; only a
    // grain known to differ is searched byte by byte.
    if (std::memcmp(a.data(), b.data(), kGrainBytes) == 0) continue;
    auto [at, unused] = std::mismatch(a.begin(), a.end(), b.begin());
    return i * kGrainBytes + static_cast<uint64_t>(at - a.begin());
  }
  return std::nullopt;
}

}  // namespace

int32_t CommandCompare::execute(int32_t argc, char** argv) {
  if (argc < 3) printUsage();
  Input first(argv[1], options->rawInput, options->vhdInput);
  Input second(argv[2], options->rawSecondInput, options->vhdSecondInput);
  std::optional<uint64_t> difference = firstDifference(first, second);
  if (options->json) {
    printJson({{"identical", !difference},
               {"first_bytes", first.bytes},
               {"second_bytes", second.bytes},
               {"sizes_differ", first.bytes != second.bytes},
               {"first_difference", difference ? Json(*difference) : Json()}});
  } else {
    if (first.bytes != second.bytes) {
      std::cout << "Sizes differ: " << first.bytes << " and " << second.bytes << " bytes\n";
    }
    if (difference) {
      std::cout << "Content differs at byte " << *difference << '\n';
    } else {
      std::cout << "Identical\n";
    }
    std::cout << std::flush;
  }
  return difference ? kExitDifferent : 0;
}

}  // namespace skarvel
