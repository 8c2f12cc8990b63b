#include "invariants.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>

#include "base/byte_order.h"
#include "base/fatal_error.h"
#include "format/sparse_header.h"
#include "format/units.h"
#include "platform/file.h"
#include "reader/chain_reader.h"

namespace skarvel::fuzz {

namespace {

// Files are compared whole up to this size; the harness's inputs are a few
// hundred KiB at most.
constexpr uint64_t kMaxFileBytes = uint64_t{16} << 20;
// Disks are read grain by grain up to 256 MiB; grow and rebase run only on
// those (larger declared disks are the time bound's business).
constexpr uint64_t kMaxViewGrains = 4096;
// grow adds this much, and the disk read after it is as much larger.
constexpr uint64_t kGrowMiB = 8;
constexpr uint64_t kGrainsPerMiB = (uint64_t{1} << 20) / kGrainBytes;  // 16
// Table entries compared per file at most.
constexpr uint64_t kMaxComparedEntries = uint64_t{1} << 16;
constexpr int kReadOnly = platform::kOpenBinary | platform::kOpenReadOnly;

[[noreturn]] void broken(const std::string& what, const std::string& path) {
  std::fprintf(stderr, "Invariant broken: %s %s\n", what.c_str(), path.c_str());
  std::fflush(stderr);
  std::abort();
}

// The whole file at |path|; nothing when it cannot be read or is larger
// than kMaxFileBytes.
std::optional<std::string> contentsOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return std::nullopt;
  std::streamoff size = in.tellg();
  if (size < 0 || static_cast<uint64_t>(size) > kMaxFileBytes) return std::nullopt;
  std::string bytes(static_cast<size_t>(size), '\0');
  in.seekg(0);
  if (!in.read(bytes.data(), size)) return std::nullopt;
  return bytes;
}

uint64_t grainsOf(uint64_t sectors) {
  return sectors / kGrainSectors + (sectors % kGrainSectors != 0 ? 1 : 0);
}

// The header of a sparse extent whose tables a reader follows and check -R
// may rewrite: not a stream, and with a directory in the header.
std::optional<SparseExtentHeader> sparseHeaderOf(const std::string& bytes) {
  if (bytes.size() < kHeaderRecordBytes) return std::nullopt;
  HeaderBytes record;
  std::transform(bytes.begin(), bytes.begin() + record.size(), record.begin(),
                 [](char c) { return static_cast<uint8_t>(c); });
  SparseExtentHeader h = decodeHeader(record);
  if (h.magicNumber != kSparseMagic || h.version < 1 || h.version > kNewestReadVersion ||
      h.grainSize != kGrainSectors || h.numGTEsPerGT == 0 || h.numGTEsPerGT > kTableEntries ||
      (h.flags & kHeaderFlagCompressedGrains) != 0 || h.gdOffset == kDirectoryInFooter) {
    return std::nullopt;
  }
  return h;
}

// The 4-byte word |index| of the sector |sector|, when the file holds it.
std::optional<uint32_t> wordAt(const std::string& bytes, uint64_t sector, uint64_t index) {
  if (sector > bytes.size() / kSectorBytes) return std::nullopt;
  uint64_t at = sector * kSectorBytes + index * kEntryBytes;
  if (index > bytes.size() || at + kEntryBytes > bytes.size()) return std::nullopt;
  return getLittleEndian32(reinterpret_cast<const uint8_t*>(bytes.data() + at));
}

// Entry |index| of table |table| found through the directory at sector
// |directory|: nothing when the directory names no table there or the file
// does not hold the entry.
std::optional<uint32_t> tableEntry(const std::string& bytes, uint64_t directory, uint64_t table,
                                   uint64_t index) {
  std::optional<uint32_t> tableSector = wordAt(bytes, directory, table);
  if (!tableSector || *tableSector == 0) return std::nullopt;
  return wordAt(bytes, *tableSector, index);
}

uint64_t redundantDirectoryOf(const SparseExtentHeader& h) {
  bool redundant = (h.flags & kHeaderFlagRedundantDirectory) != 0 && h.rgdOffset != 0;
  return redundant ? h.rgdOffset : h.gdOffset;
}

bool namesData(const SparseExtentHeader& h, uint32_t entry) {
  return entry != 0 && !(entry == kZeroedGrainEntry && (h.flags & kHeaderFlagZeroedGrains) != 0);
}

// True when the grain at sector |grain| overlaps either directory: such a
// grain reads the directory's bytes, which a repair of a directory entry
// changes by right.
bool onDirectory(const SparseExtentHeader& h, uint64_t tables, uint32_t grain) {
  uint64_t sectors = tables / kEntriesPerSector + 1;
  for (uint64_t directory : {h.gdOffset, redundantDirectoryOf(h)}) {
    uint64_t end = directory > UINT64_MAX - sectors ? UINT64_MAX : directory + sectors;
    if (grain < end && directory < uint64_t{grain} + kGrainSectors) return true;
  }
  return false;
}

// The grain at sector |sector|, zeros where the file ends inside or before it.
std::string grainAt(const std::string& bytes, uint32_t sector) {
  std::string grain(kGrainBytes, '\0');
  uint64_t at = uint64_t{sector} * kSectorBytes;
  if (at < bytes.size())
    bytes.copy(grain.data(), std::min<uint64_t>(kGrainBytes, bytes.size() - at), at);
  return grain;
}

struct AgreedEntry {
  uint64_t table;
  uint64_t index;
  uint32_t entry;
};

// The entries of the disk's grains on which the table that the primary
// directory names and the one the redundant directory names agree (the
// primary alone without a redundant directory). Grains on a directory are
// left out.
std::vector<AgreedEntry> agreedEntries(const std::string& bytes, const SparseExtentHeader& h) {
  std::vector<AgreedEntry> agreed;
  uint64_t grains = grainsOf(h.capacity);
  uint64_t tables = grains / h.numGTEsPerGT + (grains % h.numGTEsPerGT != 0 ? 1 : 0);
  uint64_t redundant = redundantDirectoryOf(h), compared = 0;
  for (uint64_t table = 0; table < tables && compared < kMaxComparedEntries; ++table) {
    // Directory words lie further on with each table: once the file ends
    // before both, it holds no more.
    if (!wordAt(bytes, h.gdOffset, table) && !wordAt(bytes, redundant, table)) break;
    for (uint64_t index = 0; index < h.numGTEsPerGT && table * h.numGTEsPerGT + index < grains;
         ++index, ++compared) {
      std::optional<uint32_t> primary = tableEntry(bytes, h.gdOffset, table, index);
      std::optional<uint32_t> copy = tableEntry(bytes, redundant, table, index);
      if (primary && copy && *primary == *copy && !onDirectory(h, tables, *primary)) {
        agreed.push_back({table, index, *primary});
      }
    }
  }
  return agreed;
}

// After check -R turned |before| into |after|: every agreed entry is still
// the primary table's, and the grain it names reads as before.
void expectAgreedGrainsKept(const std::string& before, const std::string& after,
                            const std::string& path) {
  std::optional<SparseExtentHeader> header = sparseHeaderOf(before);
  if (!header) return;
  std::optional<SparseExtentHeader> now = sparseHeaderOf(after);
  if (!now) broken("check -R damaged the header of", path);
  for (const AgreedEntry& agreed : agreedEntries(before, *header)) {
    std::optional<uint32_t> entry = tableEntry(after, now->gdOffset, agreed.table, agreed.index);
    if (!entry || *entry != agreed.entry) {
      broken("check -R changed the entry both tables agreed on, table " +
                 std::to_string(agreed.table) + " entry " + std::to_string(agreed.index) + ", of",
             path);
    }
    if (namesData(*header, agreed.entry) &&
        grainAt(before, agreed.entry) != grainAt(after, agreed.entry)) {
      broken("check -R wrote over the grain both tables agreed on at sector " +
                 std::to_string(agreed.entry) + " of",
             path);
    }
  }
}

// FNV-1a over the grain's bytes.
uint64_t digestOf(const std::vector<uint8_t>& grain) {
  uint64_t digest = 0xcbf29ce484222325;
  for (uint8_t byte : grain) digest = (digest ^ byte) * 0x100000001b3;
  return digest;
}

uint64_t zerosDigest() {
  static const uint64_t digest = digestOf(std::vector<uint8_t>(kGrainBytes, 0));
  return digest;
}

// What the disk at |path| shows through its chain, one digest per grain;
// nothing when it does not open, a read fails, or it has more than
// |maxGrains| grains.
std::optional<std::vector<uint64_t>> viewOf(const std::string& path, uint64_t maxGrains) {
  try {
    std::unique_ptr<VMDKReader> disk = openWithParents(path, kReadOnly, kReadOnly);
    uint64_t grains = grainsOf(disk->capacity());
    if (grains > maxGrains) return std::nullopt;
    std::vector<uint64_t> view;
    std::vector<uint8_t> buffer(kGrainBytes);
    for (uint64_t grain = 0; grain < grains; ++grain) {
      uint32_t n = disk->readGrain(grain, buffer.data(), static_cast<uint32_t>(kGrainBytes));
      if (n == 0 || n == kZeroedGrain) {
        view.push_back(zerosDigest());
        continue;
      }
      std::fill(buffer.begin() + n, buffer.end(), 0);
      view.push_back(digestOf(buffer));
    }
    return view;
  } catch (const FatalError&) {
    return std::nullopt;
  }
}

}  // namespace

void checkRepairKeepsAgreedGrains(const CommandRunner& run, const std::string& image,
                                  const std::vector<std::string>& files) {
  std::vector<std::optional<std::string>> before, repaired;
  for (const std::string& file : files) before.push_back(contentsOf(file));
  int status = run({"check", "-R", image});
  for (size_t i = 0; i < files.size(); ++i) {
    repaired.push_back(contentsOf(files[i]));
    if (before[i] && repaired[i]) expectAgreedGrainsKept(*before[i], *repaired[i], files[i]);
  }
  if (status != 0 && status != 2) return;
  run({"check", "-R", image});
  for (size_t i = 0; i < files.size(); ++i) {
    if (contentsOf(files[i]) != repaired[i]) broken("a second check -R changed", files[i]);
  }
}

void rebaseKeepsWhatTheChildShows(const CommandRunner& run, const std::string& image,
                                  const std::string& newParent) {
  std::optional<std::vector<uint64_t>> before = viewOf(image, kMaxViewGrains);
  if (!before) return;
  run({"rebase", image, newParent});
  std::optional<std::vector<uint64_t>> after = viewOf(image, kMaxViewGrains);
  if (!after) broken("rebase left a disk that no longer reads:", image);
  if (*after != *before) broken("rebase changed what the child shows:", image);
}

void compactKeepsWhatTheDiskShows(const CommandRunner& run, const std::string& image) {
  std::optional<std::vector<uint64_t>> before = viewOf(image, kMaxViewGrains);
  if (!before) return;
  run({"compact", image});
  std::optional<std::vector<uint64_t>> after = viewOf(image, kMaxViewGrains);
  if (!after) broken("compact left a disk that no longer reads:", image);
  if (*after != *before) broken("compact changed what the disk shows:", image);
}

void growKeepsTheOldPartAndAddsZeros(const CommandRunner& run, const std::string& image) {
  std::optional<std::vector<uint64_t>> before = viewOf(image, kMaxViewGrains);
  if (!before) return;
  uint64_t mib = before->size() / kGrainsPerMiB + kGrowMiB;
  run({"grow", "-s", std::to_string(mib) + "M", image});
  std::optional<std::vector<uint64_t>> after =
      viewOf(image, kMaxViewGrains + kGrowMiB * kGrainsPerMiB);
  if (!after) broken("grow left a disk that no longer reads:", image);
  if (after->size() < before->size()) broken("grow made the disk smaller:", image);
  for (size_t grain = 0; grain < after->size(); ++grain) {
    uint64_t expected = grain < before->size() ? (*before)[grain] : zerosDigest();
    if ((*after)[grain] != expected) {
      broken("grow changed what grain " + std::to_string(grain) + " reads in", image);
    }
  }
}

}  // namespace skarvel::fuzz
