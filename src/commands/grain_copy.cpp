#include "commands/grain_copy.h"

#include <algorithm>
#include <vector>

#include "base/fatal_error.h"

namespace skarvel {

namespace {

// A grain that reads as zeros becomes a grain of zeros in |buffer| when the
// output names a parent, whose grain would otherwise show through; without
// a parent an unallocated grain reads as zeros already, so nothing is stored.
uint32_t zeroedGrainLength(std::vector<uint8_t>& buffer, bool outputHasParent) {
  if (!outputHasParent) return 0;
  std::fill(buffer.begin(), buffer.end(), 0);
  return static_cast<uint32_t>(buffer.size());
}

}  // namespace

uint64_t copyGrains(VMDKReader& reader, VMDKWriter& writer, uint64_t total, bool keepsParent,
                    CopyProgress& progress, LostGrains* lost) {
  std::vector<uint8_t> buffer(reader.grainBytes());
  uint64_t stored = 0;
  // Grains before |dataFrom| are passed by unread.
  uint64_t dataFrom = 0;
  for (uint64_t i = 0; i < total; ++i) {
    progress.next();
    if (!keepsParent && i >= dataFrom) dataFrom = reader.nextGrainWithData(i);
    if (i < dataFrom) continue;
    uint32_t n = kZeroedGrain;
    try {
      n = reader.readGrain(i, buffer.data(), reader.grainBytes());
    } catch (const FatalError&) {
      if (lost == nullptr) throw;
      lost->add(i);
    }
    if (n == kZeroedGrain) n = zeroedGrainLength(buffer, keepsParent);
    if (n == 0) continue;
    writer.writeGrain(i, buffer.data(), n);
    ++stored;
  }
  progress.finish();
  return stored;
}

}  // namespace skarvel
