// The grains a salvaging copy could not read, told to the user as ranges.
#ifndef SKARVEL_COMMANDS_LOST_GRAINS_H_
#define SKARVEL_COMMANDS_LOST_GRAINS_H_

#include <cstdint>
#include <string>

namespace skarvel {

// Collects lost grains, given in increasing index order, and writes one line
// "Lost sectors <first>-<last> of <path>" on standard error for each run of
// adjacent ones, in sectors of the disk (the last grain ends with the
// capacity).
class LostGrains {
 public:
  // |path| is the input as the user gave it; |capacity| its sectors.
  LostGrains(std::string path, uint64_t capacity);

  void add(uint64_t grain);

  // Tells the range still open; true when any grain was lost.
  bool finish();

 private:
  void tell();

  std::string path_;
  uint64_t capacity_;
  bool open_ = false;  // a range not told yet
  bool any_ = false;
  uint64_t first_ = 0;
  uint64_t last_ = 0;
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_LOST_GRAINS_H_
