#include "commands/lost_grains.h"

#include <algorithm>
#include <iostream>

#include "format/units.h"

namespace skarvel {

LostGrains::LostGrains(std::string path, uint64_t capacity)
    : path_(std::move(path)), capacity_(capacity) {}

void LostGrains::add(uint64_t grain) {
  if (open_ && grain == last_ + 1) {
    last_ = grain;
    return;
  }
  tell();
  open_ = any_ = true;
  first_ = last_ = grain;
}

bool LostGrains::finish() {
  tell();
  return any_;
}

void LostGrains::tell() {
  if (!open_) return;
  uint64_t end = std::min((last_ + 1) * kGrainSectors, capacity_);
  std::cerr << "Lost sectors " << first_ * kGrainSectors << "-" << end - 1 << " of " << path_
            << '\n'
            << std::flush;
  open_ = false;
}

}  // namespace skarvel
