// The extent files of an output, worked out from their index alone.
//
// In a split output every extent but the last covers 4192256 sectors
// (2047 MiB, 32752 grains); the last covers the rest of the capacity.
// Extent i (from 0) is named stem + "-s%03u" (sparse) or "-f%03u" (flat) of
// i + 1 + extension, where the file name is cut at its last '.'
// ("disk.vmdk" gives disk-s001.vmdk, disk-s002.vmdk, ...). A monolithic flat
// output has one extent, stem + "-flat" + extension; a raw output is one
// file, the output itself. Nothing is kept per extent, so a disk of any
// declared size costs the same memory.
#ifndef SKARVEL_WRITER_SPLIT_EXTENTS_H_
#define SKARVEL_WRITER_SPLIT_EXTENTS_H_

#include <cstdint>
#include <string>

#include "format/descriptor.h"
#include "writer/output_kind.h"

namespace skarvel {

class SplitExtents {
 public:
  // |fileName| is the output's file name without its directory;
  // |capacitySectors| the whole image's capacity, a multiple of 128; |kind|
  // one with extent files (not streamOptimized or monolithicSparse).
  SplitExtents(const std::string& fileName, uint64_t capacitySectors,
               OutputKind kind = OutputKind::kSplitSparse);

  uint64_t count() const { return count_; }
  // REQUIRES: index < count().
  uint64_t sectors(uint64_t index) const;
  std::string name(uint64_t index) const;
  // The extent line: RW, the size in sectors, SPARSE or FLAT (offset 0) and
  // the name.
  ExtentDescriptor extent(uint64_t index) const;

 private:
  std::string stem_;
  std::string extension_;
  OutputKind kind_;
  uint64_t capacity_;
  uint64_t perExtent_;  // sectors of every extent but the last
  uint64_t count_;
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_SPLIT_EXTENTS_H_
