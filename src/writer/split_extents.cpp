#include "writer/split_extents.h"

#include <algorithm>

#include "base/numbers.h"

namespace skarvel {

SplitExtents::SplitExtents(const std::string& fileName, uint64_t capacitySectors)
    : capacity_(capacitySectors), count_(divideRoundingUp(capacitySectors, kSplitExtentSectors)) {
  size_t dot = fileName.rfind('.');
  stem_ = dot == std::string::npos ? fileName : fileName.substr(0, dot);
  extension_ = dot == std::string::npos ? std::string() : fileName.substr(dot);
}

uint64_t SplitExtents::sectors(uint64_t index) const {
  return std::min(capacity_ - index * kSplitExtentSectors, kSplitExtentSectors);
}

std::string SplitExtents::name(uint64_t index) const {
  // "-s%03u": three digits at least, more from 1000 on, never wrapping.
  std::string number = std::to_string(index + 1);
  if (number.size() < 3) number.insert(0, 3 - number.size(), '0');
  return stem_ + "-s" + number + extension_;
}

ExtentDescriptor SplitExtents::extent(uint64_t index) const {
  ExtentDescriptor extent;
  extent.size = sectors(index);
  extent.fileName = name(index);
  return extent;
}

}  // namespace skarvel
