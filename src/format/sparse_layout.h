// Where everything lies in a sparse extent file, computed from its capacity.
//
// Sector map of an extent file (D = descriptorSectors, G = directorySectors,
// T = grainTableCount):
//   0                      header
//   1 .. D                 embedded descriptor text, zero-padded (D is 20 or 0)
//   1 + D                  redundant grain directory, G sectors
//   then                   redundant grain tables, 4 sectors each
//   then                   primary grain directory, G sectors
//   then                   primary grain tables, 4 sectors each
//   up to overhead - 1     zero padding to a multiple of 128 sectors
//   overhead onward        grains of 128 sectors, in the order written
#ifndef SKARVEL_FORMAT_SPARSE_LAYOUT_H_
#define SKARVEL_FORMAT_SPARSE_LAYOUT_H_

#include <cstdint>

#include "format/units.h"

namespace skarvel {

struct SparseExtentHeader;

struct SparseLayout {
  uint64_t overhead = 0;           // sectors before the first grain; a multiple of 128
  uint64_t totalGrains = 0;        // overhead / 128 + grainCount
  uint64_t grainCount = 0;         // data grains for the capacity
  uint64_t grainTableCount = 0;    // grain tables for grainCount grains
  uint64_t directorySectors = 0;   // sectors of one grain directory
  uint64_t descriptorSectors = 0;  // 20 with an embedded descriptor, else 0

  SparseLayout() = default;
  // Same as computeLayout(capacity, embedded).
  SparseLayout(uint64_t capacity, int embedded);

  // The capacity rounded up to whole grains: grainCount * 128 sectors.
  uint64_t capacitySectors() const { return grainCount * kGrainSectors; }

  // Sectors of header, descriptor area, both directories and both table
  // sets, before the padding.
  uint64_t metadataSectors() const;

  // True when all metadata lies below sector 2^32, so that 32-bit entries can
  // address it. Layouts of absurd capacities answer false.
  bool metadataAddressable() const { return overhead <= kSectorLimit; }

  // True when the metadata and every grain of a fully written file fit below
  // sector 2^32, as a single-file image needs.
  bool wholeFileAddressable() const;

  // Fills the 77 header bytes this layout describes.
  void fillHeader(SparseExtentHeader& header) const;

  bool operator==(const SparseLayout&) const = default;
};

// Computes the layout of an extent of |capacity| sectors; only zero versus
// non-zero of |embedded| matters (an embedded area is always 20 sectors). The
// arithmetic is exact for every 64-bit capacity.
SparseLayout computeLayout(uint64_t capacity, int embedded);

// computeLayout of |sizeBytes| / 512 sectors (a remainder is dropped).
SparseLayout layoutFromBytes(uint64_t sizeBytes, int embedded);

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_SPARSE_LAYOUT_H_
