#include "format/sparse_layout.h"

#include "base/numbers.h"
#include "format/sparse_header.h"

namespace skarvel {

SparseLayout::SparseLayout(uint64_t capacity, int embedded)
    : SparseLayout(computeLayout(capacity, embedded)) {}

SparseLayout computeLayout(uint64_t capacity, int embedded) {
  SparseLayout layout;
  layout.grainCount = divideRoundingUp(capacity, kGrainSectors);
  layout.grainTableCount = divideRoundingUp(layout.grainCount, kTableEntries);
  layout.directorySectors = divideRoundingUp(layout.grainTableCount * kEntryBytes, kSectorBytes);
  layout.descriptorSectors = embedded != 0 ? kDescriptorSectors : 0;
  layout.overhead = divideRoundingUp(layout.metadataSectors(), kGrainSectors) * kGrainSectors;
  layout.totalGrains = layout.overhead / kGrainSectors + layout.grainCount;
  return layout;
}

SparseLayout layoutFromBytes(uint64_t sizeBytes, int embedded) {
  return computeLayout(sizeBytes / kSectorBytes, embedded);
}

uint64_t SparseLayout::metadataSectors() const {
  return 1 + descriptorSectors + 2 * (kTableSectors * grainTableCount + directorySectors);
}

bool SparseLayout::wholeFileAddressable() const {
  return metadataAddressable() && capacitySectors() <= kSectorLimit - overhead;
}

void SparseLayout::fillHeader(SparseExtentHeader& header) const {
  header = SparseExtentHeader();
  header.magicNumber = kSparseMagic;
  header.version = 1;
  header.flags = kHeaderFlagValidNewlines | kHeaderFlagRedundantDirectory;
  header.capacity = capacitySectors();
  header.grainSize = kGrainSectors;
  header.descriptorOffset = descriptorSectors != 0 ? 1 : 0;
  header.descriptorSize = descriptorSectors;
  header.numGTEsPerGT = kTableEntries;
  header.rgdOffset =
      header.descriptorOffset != 0 ? header.descriptorOffset + header.descriptorSize : 1;
  header.gdOffset = header.rgdOffset + kTableSectors * grainTableCount + directorySectors;
  header.overHead = overhead;
  header.uncleanShutdown = 0;
  header.singleEndLineChar = '\n';
  header.nonEndLineChar = ' ';
  header.doubleEndLineChar1 = '\r';
  header.doubleEndLineChar2 = '\n';
}

}  // namespace skarvel
