#include "commands/grain_copy.h"

#include <algorithm>
#include <vector>

#include "base/fatal_error.h"
#include "base/zeros.h"
#include "platform/file.h"

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

// Bytes at the start of a grain (a sector) read to tell data from zeros before the
// system is asked to copy it: data nearly always shows there already.
constexpr uint32_t kProbeBytes = 512;

// Has the system copy grain |grain| from its place in an input file when
// its first bytes show data. False, having stored nothing, when the grain
// has no such place or may be zeros: it is read then, as every grain is
// where the system cannot copy.
bool copiedInside(VMDKReader& reader, VMDKWriter& writer, uint64_t grain, uint8_t* probe) {
  GrainPlace place;
  if (!reader.placeOfGrain(grain, &place)) return false;
  uint32_t n = std::min(kProbeBytes, place.length);
  // A read that fails is made again in full, and reported, by readGrain.
  if (platform::readFileAt(place.fd, place.offset, probe, n) != n) return false;
  if (allZeros(probe, n)) return false;
  writer.copyGrain(grain, place);
  return true;
}

}  // namespace

uint64_t copyGrains(VMDKReader& reader, VMDKWriter& writer, uint64_t total, bool keepsParent,
                    CopyProgress& progress, LostGrains* lost) {
  std::vector<uint8_t> buffer(reader.grainBytes());
  uint64_t stored = 0;
  // Grains before |dataFrom| are passed by unread.
  uint64_t dataFrom = 0;
  // Grains of a copy that keeps no parent and loses nothing may go from
  // file to file inside the system.
  bool inside = !keepsParent && lost == nullptr && writer.copiesGrainPlaces();
  for (uint64_t i = 0; i < total; ++i) {
    progress.next();
    if (!keepsParent && i >= dataFrom) dataFrom = reader.nextGrainWithData(i);
    if (i < dataFrom) continue;
    if (inside && copiedInside(reader, writer, i, buffer.data())) {
      ++stored;
      continue;
    }
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
