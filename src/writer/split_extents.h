// The extents of a split output, worked out from their index alone.
//
// Every extent but the last covers 4192256 sectors (2047 MiB, 32752 grains);
// the last covers the rest of the capacity. Extent i (from 0) is named
// stem + "-s%03u" of i + 1 + extension, where the file name is cut at its
// last '.' ("disk.vmdk" gives disk-s001.vmdk, disk-s002.vmdk, ...). Nothing
// is kept per extent, so a disk of any declared size costs the same memory.
#ifndef SKARVEL_WRITER_SPLIT_EXTENTS_H_
#define SKARVEL_WRITER_SPLIT_EXTENTS_H_

#include <cstdint>
#include <string>

#include "format/descriptor.h"

namespace skarvel {

class SplitExtents {
 public:
  // |fileName| is the output's file name without its directory;
  // |capacitySectors| the whole image's capacity, a multiple of 128.
  SplitExtents(const std::string& fileName, uint64_t capacitySectors);

  uint64_t count() const { return count_; }
  // REQUIRES: index < count().
  uint64_t sectors(uint64_t index) const;
  std::string name(uint64_t index) const;
  // The extent line: RW, the size in sectors, SPARSE and the name.
  ExtentDescriptor extent(uint64_t index) const;

 private:
  std::string stem_;
  std::string extension_;
  uint64_t capacity_;
  uint64_t count_;
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_SPLIT_EXTENTS_H_
