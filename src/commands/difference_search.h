// Finding the first byte at which two inputs differ, on every core.
//
// The disk is cut into slices of whole grains that workers (one per core,
// but never more than there are slices) claim in order, each reading through
// a pair of inputs of its own: readers keep state and are not shared between
// threads, and the files open again under the same shared read locks. The
// answer is the one a single pass from the first byte gives: the finding of
// the earliest slice that has one, a difference or an error, so that of a
// difference and an error the one such a pass would meet first is reported.
#ifndef SKARVEL_COMMANDS_DIFFERENCE_SEARCH_H_
#define SKARVEL_COMMANDS_DIFFERENCE_SEARCH_H_

#include <cstdint>
#include <optional>
#include <string>

namespace skarvel {

// One input of a comparison: an image read through all of its parents, or
// a raw disk, which may be a fixed VHD.
struct CompareInput {
  std::string path;
  bool raw = false;
  bool vhd = false;
};

struct CompareOutcome {
  uint64_t firstBytes = 0;   // the size of the first input's disk
  uint64_t secondBytes = 0;  // the size of the second's
  // The offset of the first byte that differs, bytes past the end of the
  // shorter disk reading as zeros; nothing when the disks read the same.
  std::optional<uint64_t> difference;
};

// Compares |first| and |second|. Throws the FatalError of opening |first|,
// else of opening |second|, else the first failure to read either that a
// pass from the disk's first grain meets before any difference.
CompareOutcome findFirstDifference(const CompareInput& first, const CompareInput& second);

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_DIFFERENCE_SEARCH_H_
