#include "reader/multi_file_reader.h"

#include <algorithm>

#include "base/fatal_error.h"
#include "base/paths.h"
#include "platform/file.h"
#include "reader/flat_extent_reader.h"
#include "reader/single_file_reader.h"
#include "reader/zero_extent_reader.h"

namespace skarvel {

namespace {

// A line whose first word is not one of these is some other text that
// happens to have four words, not an extent line.
bool hasAccessWord(const ExtentDescriptor& extent) {
  return extent.access == "RW" || extent.access == "RDONLY" || extent.access == "NOACCESS";
}

// A FLAT or ZERO extent is as large as its line says: a size that reads as
// no number, 0, or more than any disk is no extent (a sparse extent's size
// comes from its own header, which its reader checks).
bool sizeIsPlausible(const ExtentDescriptor& extent) {
  if (extent.type != kFlatExtentType && extent.type != kZeroExtentType) return true;
  return extent.size > 0 && extent.size <= kMaxCapacitySectors;
}

}  // namespace

VMDKMultiFileReader::VMDKMultiFileReader(int fd, const std::string& directory,
                                         const std::string& path, int extentFlags)
    : VMDKReader(fd, path) {
  uint64_t textBytes = readDescriptor(0, &extents_);
  if (std::none_of(extents_.begin(), extents_.end(), hasAccessWord)) {
    throw FatalError("Unsupported image file " + path_);
  }
  firstGrains_.push_back(0);
  for (const ExtentDescriptor& extent : extents_) {
    // The disk is served in whole grains, so only the last extent may end
    // inside one; an extent of part grains before others would shift every
    // sector after it.
    if (!extentReaders_.empty() && extentReaders_.back()->capacity() % kGrainSectors != 0) {
      throw FatalError("Unsupported extent file " + extentReaders_.back()->path());
    }
    if (!sizeIsPlausible(extent)) throw FatalError("Unsupported image file " + path_);
    extentReaders_.push_back(openExtent(extent, directory, extentFlags));
    const VMDKReader& added = *extentReaders_.back();
    // Each extent holds at most kMaxCapacitySectors, so the sum cannot wrap
    // before it passes that bound.
    capacity_ += added.capacity();
    if (capacity_ > kMaxCapacitySectors) throw FatalError("Unsupported image file " + path_);
    firstGrains_.push_back(firstGrains_.back() + added.grainCount());
  }
  layout_ = computeLayout(capacity_, textBytes != 0 ? 1 : 0);
}

VMDKMultiFileReader::~VMDKMultiFileReader() {
  // Extent files close in list order, before the descriptor file.
  for (auto& reader : extentReaders_) reader.reset();
}

std::unique_ptr<VMDKReader> VMDKMultiFileReader::openExtent(const ExtentDescriptor& extent,
                                                            const std::string& directory,
                                                            int flags) {
  if (extent.type == kZeroExtentType)
    return std::make_unique<VMDKZeroExtentReader>(path_, extent.size);
  std::string extentPath = resolveAgainst(directory, extent.fileName);
  if (extent.type != "SPARSE" && extent.type != kFlatExtentType) {
    throw FatalError("Unsupported extent file " + extentPath);
  }
  int extentFd = openImageFile(extentPath, flags);
  if (extent.type == kFlatExtentType) {
    return std::make_unique<VMDKFlatExtentReader>(extentFd, extentPath, extent.size, extent.offset);
  }
  return std::make_unique<VMDKSingleFileReader>(extentFd, extentPath);
}

size_t VMDKMultiFileReader::extentHolding(uint64_t grain) {
  auto holds = [&](size_t k) { return firstGrains_[k] <= grain && grain < firstGrains_[k + 1]; };
  if (holds(current_)) return current_;
  if (current_ + 1 < extentReaders_.size() && holds(current_ + 1)) return current_ + 1;
  // The last extent whose first grain is not past |grain|; empty extents
  // before it share its first grain.
  auto after = std::upper_bound(firstGrains_.begin(), firstGrains_.end(), grain);
  return static_cast<size_t>(after - firstGrains_.begin()) - 1;
}

uint32_t VMDKMultiFileReader::readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) {
  if (grain >= firstGrains_.back()) return 0;
  VMDKReader& extent = moveTo(grain);
  return extent.readGrain(grain - firstGrains_[current_], buffer, length);
}

VMDKReader& VMDKMultiFileReader::moveTo(uint64_t grain) {
  size_t holding = extentHolding(grain);
  if (holding != current_) extentReaders_[current_]->releaseBuffers();
  current_ = holding;
  return *extentReaders_[current_];
}

bool VMDKMultiFileReader::placeOfGrain(uint64_t grain, GrainPlace* place) {
  if (grain >= firstGrains_.back()) return false;
  VMDKReader& extent = moveTo(grain);
  return extent.placeOfGrain(grain - firstGrains_[current_], place);
}

std::pair<size_t, uint64_t> VMDKMultiFileReader::extentOf(uint64_t grain) {
  size_t holding = extentHolding(grain);
  return {holding, grain - firstGrains_[holding]};
}

void VMDKMultiFileReader::appendOpenFiles(std::vector<int>& fds) const {
  VMDKReader::appendOpenFiles(fds);
  for (const auto& reader : extentReaders_) reader->appendOpenFiles(fds);
}

void VMDKMultiFileReader::failOnMissingData() {
  for (const auto& reader : extentReaders_) reader->failOnMissingData();
}

uint64_t VMDKMultiFileReader::allocatedGrains() {
  uint64_t count = 0;
  for (const auto& reader : extentReaders_) count += reader->allocatedGrains();
  return count;
}

}  // namespace skarvel
