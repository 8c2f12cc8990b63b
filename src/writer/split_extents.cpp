#include "writer/split_extents.h"

#include <algorithm>

#include "base/numbers.h"

namespace skarvel {

SplitExtents::SplitExtents(const std::string& fileName, uint64_t capacitySectors, OutputKind kind)
    : kind_(kind), capacity_(capacitySectors) {
  bool oneFile =
      kind == OutputKind::kMonolithicFlat || kind == OutputKind::kRaw || kind == OutputKind::kVhd;
  perExtent_ = oneFile ? std::max<uint64_t>(capacitySectors, 1) : kSplitExtentSectors;
  count_ = divideRoundingUp(capacitySectors, perExtent_);
  size_t dot = fileName.rfind('.');
  stem_ = dot == std::string::npos ? fileName : fileName.substr(0, dot);
  extension_ = dot == std::string::npos ? std::string() : fileName.substr(dot);
}

uint64_t SplitExtents::sectors(uint64_t index) const {
  return std::min(capacity_ - index * perExtent_, perExtent_);
}

std::string SplitExtents::name(uint64_t index) const {
  if (kind_ == OutputKind::kRaw || kind_ == OutputKind::kVhd) return stem_ + extension_;
  if (kind_ == OutputKind::kMonolithicFlat) return stem_ + "-flat" + extension_;
  // "-s%03u": three digits at least, more from 1000 on, never wrapping.
  std::string number = std::to_string(index + 1);
  if (number.size() < 3) number.insert(0, 3 - number.size(), '0');
  return stem_ + (kind_ == OutputKind::kSplitSparse ? "-s" : "-f") + number + extension_;
}

ExtentDescriptor SplitExtents::extent(uint64_t index) const {
  ExtentDescriptor extent;
  extent.size = sectors(index);
  extent.fileName = name(index);
  if (kind_ != OutputKind::kSplitSparse) extent.type = kFlatExtentType;
  return extent;
}

}  // namespace skarvel
