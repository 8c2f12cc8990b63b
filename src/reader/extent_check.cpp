#include "reader/extent_check.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <numeric>
#include <optional>
#include <set>

#include "base/byte_order.h"
#include "base/fatal_error.h"
#include "base/numbers.h"
#include "base/zeros.h"
#include "format/compressed_grain.h"
#include "format/sparse_header.h"
#include "format/stream_marker.h"
#include "platform/file.h"
#include "reader/single_file_reader.h"

namespace skarvel {

namespace {

enum class Part : uint8_t { kHeader, kDescriptor, kDirectory, kTable, kGrain };
constexpr int kPrimary = 0;
constexpr int kRedundant = 1;
const char* const kCopyNames[] = {"primary", "redundant"};

// A run of sectors that one structure of the file takes up.
struct Region {
  uint64_t start = 0;
  uint64_t length = 0;
  Part part = Part::kHeader;
  int copy = kPrimary;
  uint64_t index = 0;   // of the table or the grain
  bool shared = false;  // a grain that both copies name alike
  bool faulty = false;  // a grain its entry was found wrong to name

  uint64_t end() const { return start + length; }
  bool operator<(const Region& other) const { return start < other.start; }
};

// Answers whether a run of sectors meets any of |regions|, sorted by start
// (not owned: it must outlive the Occupancy, unchanged).
class Occupancy {
 public:
  explicit Occupancy(const std::vector<Region>& regions) : regions_(regions) {
    for (const Region& region : regions_) {
      furthestEnd_.push_back(
          std::max(region.end(), furthestEnd_.empty() ? 0 : furthestEnd_.back()));
    }
  }
  bool meets(uint64_t start, uint64_t length) const {
    auto after = std::lower_bound(regions_.begin(), regions_.end(),
                                  Region{start + length, 0, Part::kHeader});
    size_t before = static_cast<size_t>(after - regions_.begin());
    return before != 0 && furthestEnd_[before - 1] > start;
  }

 private:
  const std::vector<Region>& regions_;
  std::vector<uint64_t> furthestEnd_;  // [k]: the furthest end of regions_[0..k]
};

// A table that no directory entry names, found where the layout puts it.
struct LostTable {
  int copy = kPrimary;
  uint64_t table = 0;
  uint64_t sector = 0;
  std::vector<uint8_t> bytes;
};

// What a directory entry makes of one copy of a table.
enum class TableState : uint8_t { kAbsent, kRead, kUnreadable };

// A grain marker met on the walk of a stream.
struct WalkedGrain {
  uint64_t sector = 0;
  uint64_t sectors = 0;  // up to the next marker
  uint64_t lba = 0;
  bool named = false;
  bool operator<(uint64_t s) const { return sector < s; }
};

std::string number(uint64_t n) { return std::to_string(n); }

// A field that the footer of a stream carries as the header does: its
// name, byte offset in the record and width in bytes (little-endian).
struct FooterField {
  const char* name;
  uint32_t offset;
  uint32_t width;
};
constexpr FooterField kFooterFields[] = {{"version", 4, 4},
                                         {"flags", 8, 4},
                                         {"capacity", 12, 8},
                                         {"grainSize", 20, 8},
                                         {"descriptorOffset", 28, 8},
                                         {"descriptorSize", 36, 8},
                                         {"numGTEsPerGT", 44, 4},
                                         {"rgdOffset", 48, 8},
                                         {"overHead", 64, 8},
                                         {"uncleanShutdown", 72, 1},
                                         {"singleEndLineChar", 73, 1},
                                         {"nonEndLineChar", 74, 1},
                                         {"doubleEndLineChar1", 75, 1},
                                         {"doubleEndLineChar2", 76, 1},
                                         {"compressAlgorithm", 77, 2}};

class ExtentChecker {
 public:
  ExtentChecker(const VMDKSingleFileReader& extent, bool planRepairs, CheckReport& report);
  void run();

 private:
  void add(const std::string& place, const std::string& kind, const std::string& text,
           uint64_t leakedGrains = 0);
  std::string name(const Region& region) const;
  // |region| as the place of a finding.
  std::string placeOf(const Region& region) const;
  // Appends |region| to |regions_| clipped to the file; says so when it
  // does not fit. Returns whether it fits.
  bool place(Region region, const std::string& what);
  void addFixedRegions();
  void readDirectories();
  void readTable(int copy, uint64_t table, std::vector<uint32_t>& entries);
  void checkTables();
  void checkEntry(int copy, uint64_t grain, uint32_t sector, bool shared);
  void checkEntriesPastCapacity();
  // True when the entry |sector| names a grain that reads as zeros: a
  // zeroed grain, or a stored grain whose bytes, as far as the file holds
  // them, are all zeros.
  bool namesZeros(uint32_t sector) const;
  // Reports each region that overlaps one before it; with |grainsOnly|, only
  // where a grain is one of the two.
  void sweep(bool grainsOnly);
  // Marks what is at fault when regions_[a] and regions_[b] overlap.
  void blame(size_t a, size_t b);
  void markDamaged(const Region& region);
  // Where the sector map puts |copy|'s table |table|.
  uint64_t layoutSector(int copy, uint64_t table) const;
  std::vector<uint8_t> readTableBytes(uint64_t sector) const;
  // Finds each table that lies on a grain both copies of its own table
  // name alike: such a table is the one at fault, and is not followed.
  void findTablesOnAgreedGrains();
  // Finds, where the layout puts a table that no directory entry names, a
  // table that names grains in the file (lost with its entry).
  void findLostTables();
  // The grains that |lost| names when each of its entries is sound: 0, a
  // zeroed grain, or a grain of the capacity past the overhead and inside
  // the file, clear of |inUse| and of one another. Empty otherwise.
  std::vector<Region> lostGrains(const LostTable& lost, const Occupancy& inUse) const;
  // Adds to |kept| the tables that were set aside for overlapping another
  // structure but lie inside the file, and to |kept| and |grains| what
  // their entries name past the overhead: a reader may follow them still.
  // Moves |endSector| past those grains.
  void keepSetAsideTables(std::vector<Region>& kept, std::vector<Region>& grains,
                          uint64_t& endSector) const;
  void walkStream();
  void checkFooter(uint64_t sector);
  void checkWalkedGrain(uint64_t sector, const StreamMarker& marker);
  void reportLeaks();
  void planRepairs();

  const VMDKSingleFileReader& extent_;
  const SparseExtentHeader& header_;
  const std::string& path_;
  bool planRepairs_;
  CheckReport& report_;
  bool stream_;
  bool zeroedGrains_;
  uint64_t fileSectors_ = 0;
  uint64_t grainCount_;
  uint64_t tableCount_;
  // The tables that the entries the file holds can name: past them both
  // directories read as absent, so that what a check costs follows the
  // file's length, not the capacity its header claims.
  uint64_t heldTables_ = 0;
  uint64_t directorySectors_;
  uint64_t tableSectors_;
  int copies_;                      // 2 when the redundant directory is in use
  uint64_t directory_[2] = {0, 0};  // sectors of the directories
  bool directoryDamaged_[2] = {false, false};
  std::vector<uint32_t> entries_[2];  // the directories' entries
  std::vector<TableState> state_[2];
  std::vector<bool> damaged_[2];  // per table: this copy is damaged
  std::vector<Region> regions_;
  // The furthest end of a grain that starts inside the file, as far as its
  // entry makes it run (the file may end inside its last grain).
  uint64_t grainsEnd_ = 0;
  std::vector<LostTable> lost_;
  std::vector<WalkedGrain> walked_;
};

ExtentChecker::ExtentChecker(const VMDKSingleFileReader& extent, bool planRepairs,
                             CheckReport& report)
    : extent_(extent),
      header_(extent.header()),
      path_(extent.path()),
      planRepairs_(planRepairs),
      report_(report),
      stream_((header_.flags & kHeaderFlagCompressedGrains) != 0),
      zeroedGrains_((header_.flags & kHeaderFlagZeroedGrains) != 0),
      grainCount_(extent.layout().grainCount),
      tableCount_(divideRoundingUp(grainCount_, header_.numGTEsPerGT)),
      directorySectors_(divideRoundingUp(tableCount_ * kEntryBytes, kSectorBytes)),
      tableSectors_(divideRoundingUp(uint64_t{header_.numGTEsPerGT} * kEntryBytes, kSectorBytes)) {
  uint64_t fileBytes = 0;
  if (!platform::readableLength(extent.fileHandle(), &fileBytes)) {
    throw FatalError("Failed to read file " + path_);
  }
  fileSectors_ = divideRoundingUp(fileBytes, kSectorBytes);
  bool redundant = (header_.flags & kHeaderFlagRedundantDirectory) != 0 && header_.rgdOffset != 0;
  // The reader never uses the redundant directory, so its offset was not
  // bounded when the extent opened.
  if (redundant && header_.rgdOffset >= kSectorLimit) {
    add("redundant grain directory", "past_sector_limit",
        "redundant directory at sector " + number(header_.rgdOffset) + " lies past sector 2^32");
    redundant = false;
  }
  copies_ = redundant ? 2 : 1;
  directory_[kPrimary] = extent.directorySector();
  directory_[kRedundant] = redundant ? header_.rgdOffset : 0;
  for (int c = 0; c < copies_; ++c) {
    uint64_t start = std::min(directory_[c] * kSectorBytes, fileBytes);
    heldTables_ = std::max(heldTables_, std::min(tableCount_, (fileBytes - start) / kEntryBytes));
  }
  for (int c = 0; c < copies_; ++c) {
    state_[c].assign(heldTables_, TableState::kAbsent);
    damaged_[c].assign(heldTables_, false);
  }
}

void ExtentChecker::add(const std::string& place, const std::string& kind, const std::string& text,
                        uint64_t leakedGrains) {
  report_.findings.push_back(CheckFinding{
      .path = path_, .text = text, .leakedGrains = leakedGrains, .place = place, .kind = kind});
}

std::string ExtentChecker::placeOf(const Region& region) const {
  std::string copy = region.copy == kPrimary ? "" : "redundant ";
  switch (region.part) {
    case Part::kHeader:
      return "header";
    case Part::kDescriptor:
      return "descriptor";
    case Part::kDirectory:
      return copy + "grain directory";
    case Part::kTable:
      return copy + "grain table " + number(region.index);
    case Part::kGrain:
      break;
  }
  return "grain " + number(region.index);
}

std::string ExtentChecker::name(const Region& region) const {
  std::string copy = kCopyNames[region.copy];
  switch (region.part) {
    case Part::kHeader:
      return "the header";
    case Part::kDescriptor:
      return "the descriptor area";
    case Part::kDirectory:
      return copy + " directory";
    case Part::kTable:
      return copy + " table " + number(region.index);
    case Part::kGrain:
      break;
  }
  uint64_t perTable = header_.numGTEsPerGT;
  return "grain " + number(region.index) + " (" + copy + " table " +
         number(region.index / perTable) + " entry " + number(region.index % perTable) + ")";
}

bool ExtentChecker::place(Region region, const std::string& what) {
  if (region.length == 0) return true;
  bool inside = region.start < fileSectors_;
  // A grain may run past the end: what a read finds missing there is
  // zeros, and writers may leave the last grain of the file unpadded.
  bool fits =
      inside && (region.part == Part::kGrain || region.length <= fileSectors_ - region.start);
  if (!fits) {
    add(placeOf(region), "past_end",
        what + " at sector " + number(region.start) + (inside ? " runs past" : " lies past") +
            " the end of the file");
  }
  if (!inside) return false;
  if (region.part == Part::kGrain) grainsEnd_ = std::max(grainsEnd_, region.end());
  region.length = std::min(region.length, fileSectors_ - region.start);
  regions_.push_back(region);
  return fits;
}

void ExtentChecker::addFixedRegions() {
  regions_.push_back(Region{0, 1, Part::kHeader});
  if (header_.hasEmbeddedDescriptor()) {
    place(Region{header_.descriptorOffset, header_.descriptorSize, Part::kDescriptor},
          "the descriptor area");
  }
  for (int c = 0; c < copies_; ++c) {
    Region directory{directory_[c], directorySectors_, Part::kDirectory, c};
    if (!place(directory, name(directory))) directoryDamaged_[c] = true;
  }
}

void ExtentChecker::readDirectories() {
  for (int c = 0; c < copies_; ++c) {
    // Entries the file does not hold read as absent, as the reader has them.
    std::vector<uint8_t> bytes(heldTables_ * kEntryBytes, 0);
    for (uint64_t at = 0; at < bytes.size(); at += kGrainBytes) {
      uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(kGrainBytes, bytes.size() - at));
      readAt(extent_.fileHandle(), path_, directory_[c] * kSectorBytes + at, &bytes[at], length);
    }
    entries_[c].resize(heldTables_);
    for (uint64_t t = 0; t < heldTables_; ++t) {
      entries_[c][t] = getLittleEndian32(&bytes[t * kEntryBytes]);
      if (entries_[c][t] == 0) continue;
      Region table{entries_[c][t], tableSectors_, Part::kTable, c, t};
      state_[c][t] = place(table, name(table)) ? TableState::kRead : TableState::kUnreadable;
      if (state_[c][t] == TableState::kUnreadable) damaged_[c][t] = true;
    }
  }
}

void ExtentChecker::markDamaged(const Region& region) {
  if (region.part == Part::kDirectory) directoryDamaged_[region.copy] = true;
  if (region.part == Part::kTable) {
    damaged_[region.copy][region.index] = true;
    // A table that shares its sectors with another structure is not
    // followed: its entries cannot be told from the other's bytes.
    state_[region.copy][region.index] = TableState::kUnreadable;
  }
  if (region.part == Part::kGrain) {
    uint64_t table = region.index / header_.numGTEsPerGT;
    damaged_[region.copy][table] = true;
    if (region.shared) damaged_[kRedundant][table] = true;
  }
}

void ExtentChecker::sweep(bool grainsOnly) {
  std::stable_sort(regions_.begin(), regions_.end());
  std::vector<bool> reported(regions_.size(), false);
  size_t furthest = 0;
  for (size_t i = 1; i < regions_.size(); ++i) {
    const Region& later = regions_[i];
    const Region& earlier = regions_[furthest];
    auto fresh = [&](size_t k) { return regions_[k].part == Part::kGrain && !reported[k]; };
    // Among grains, one line for each grain that overlaps something is
    // enough: a grain placed on the metadata meets many structures.
    if (later.start < earlier.end() && (!grainsOnly || fresh(i) || fresh(furthest))) {
      add(placeOf(later), "overlap",
          name(later) + " at sector " + number(later.start) + " overlaps " + name(earlier) +
              " at sector " + number(earlier.start));
      reported[i] = reported[furthest] = true;
      blame(i, furthest);
    }
    if (later.end() > regions_[furthest].end()) furthest = i;
  }
}

void ExtentChecker::blame(size_t a, size_t b) {
  auto fault = [this](size_t k) {
    regions_[k].faulty = true;
    markDamaged(regions_[k]);
  };
  const Region& first = regions_[a];
  const Region& second = regions_[b];
  // Structures are placed from the header down to the grains: a table laid
  // over a directory is the table's fault, a grain laid over either the
  // grain's (a table on a grain that both copies agree on was set aside
  // before the grains were placed).
  if (first.part != second.part) {
    fault(first.part > second.part ? a : b);
    return;
  }
  // Of two grains, one that both copies agree on is taken to be right, and
  // so is a primary one against a redundant one (only entries that differ
  // from the primary's place redundant grains).
  if (first.part == Part::kGrain && first.shared != second.shared) {
    fault(first.shared ? b : a);
  } else if (first.part == Part::kGrain && first.copy != second.copy) {
    fault(first.copy == kRedundant ? a : b);
  } else {
    fault(a);
    fault(b);
  }
}

uint64_t ExtentChecker::layoutSector(int copy, uint64_t table) const {
  return directory_[copy] + directorySectors_ + tableSectors_ * table;
}

std::vector<uint8_t> ExtentChecker::readTableBytes(uint64_t sector) const {
  std::vector<uint8_t> bytes(uint64_t{header_.numGTEsPerGT} * kEntryBytes, 0);
  readAt(extent_.fileHandle(), path_, sector * kSectorBytes, bytes.data(),
         static_cast<uint32_t>(bytes.size()));
  return bytes;
}

void ExtentChecker::findTablesOnAgreedGrains() {
  if (copies_ < 2) return;
  // The tables that are followed, by start; the first sweep left them clear
  // of one another, so those that meet a grain start within a table's
  // length before it or inside it.
  std::vector<uint64_t> starts;
  std::vector<size_t> indices;
  std::vector<size_t> regionOf[2];  // of each copy's table, when followed
  for (int c = 0; c < 2; ++c) regionOf[c].assign(heldTables_, regions_.size());
  for (size_t k = 0; k < regions_.size(); ++k) {
    const Region& r = regions_[k];
    if (r.part != Part::kTable || state_[r.copy][r.index] != TableState::kRead) continue;
    starts.push_back(r.start);
    indices.push_back(k);
    regionOf[r.copy][r.index] = k;
  }
  std::vector<std::pair<size_t, Region>> found;  // a table and the grain it lies on
  auto meet = [&](size_t k, const Region& grain) {
    if (k < regions_.size() && regions_[k].start < grain.end() && regions_[k].end() > grain.start) {
      found.emplace_back(k, grain);
    }
  };
  std::vector<uint32_t> entries[2];
  for (uint64_t t = 0; t < heldTables_; ++t) {
    if (state_[kPrimary][t] != TableState::kRead || state_[kRedundant][t] != TableState::kRead) {
      continue;
    }
    for (int c = 0; c < 2; ++c) readTable(c, t, entries[c]);
    auto differing = std::inner_product(entries[kPrimary].begin(), entries[kPrimary].end(),
                                        entries[kRedundant].begin(), uint64_t{0}, std::plus<>(),
                                        std::not_equal_to<>());
    for (uint64_t e = 0; e < header_.numGTEsPerGT; ++e) {
      uint64_t grain = t * header_.numGTEsPerGT + e;
      if (grain >= grainCount_) break;
      for (int c = 0; c < 2; ++c) {
        uint32_t sector = entries[c][e];
        bool agreed = sector == entries[1 - c][e];
        if (sector == 0 || (agreed && c == kRedundant) ||
            (sector == kZeroedGrainEntry && zeroedGrains_)) {
          continue;
        }
        Region named{sector, kGrainSectors, Part::kGrain, c, grain, agreed};
        // A copy that lies inside a grain its other copy names is read
        // from that grain's data, when the copies differ in more than this
        // one entry; a single entry naming the other copy's place, or one
        // inside the overhead, is the entry's fault. A grain both copies
        // name is read wherever it lies, inside the overhead too.
        if (!agreed) {
          if (differing > 1 && sector >= header_.overHead) meet(regionOf[1 - c][t], named);
          continue;
        }
        uint64_t from = sector - std::min<uint64_t>(sector, tableSectors_ - 1);
        for (auto at = std::lower_bound(starts.begin(), starts.end(), from);
             at != starts.end() && *at < named.end(); ++at) {
          meet(indices[static_cast<size_t>(at - starts.begin())], named);
        }
      }
    }
  }
  for (const auto& [k, grain] : found) {
    const Region& table = regions_[k];
    if (state_[table.copy][table.index] != TableState::kRead) continue;  // told once
    add(placeOf(table), "overlap",
        name(table) + " at sector " + number(table.start) + " overlaps " + name(grain) +
            " at sector " + number(grain.start));
    markDamaged(table);
  }
}

void ExtentChecker::keepSetAsideTables(std::vector<Region>& kept, std::vector<Region>& grains,
                                       uint64_t& endSector) const {
  for (int c = 0; c < copies_; ++c) {
    for (uint64_t t = 0; t < heldTables_; ++t) {
      uint64_t at = entries_[c][t];
      if (state_[c][t] != TableState::kUnreadable || at + tableSectors_ > fileSectors_) continue;
      kept.push_back(Region{at, tableSectors_, Part::kTable, c, t});
      std::vector<uint8_t> bytes = readTableBytes(at);
      for (uint64_t e = 0; e < header_.numGTEsPerGT; ++e) {
        uint32_t sector = getLittleEndian32(&bytes[e * kEntryBytes]);
        if (sector < header_.overHead || sector >= fileSectors_) continue;
        Region grain{sector, std::min(kGrainSectors, fileSectors_ - sector), Part::kGrain, c,
                     t * header_.numGTEsPerGT + e};
        kept.push_back(grain);
        grains.push_back(grain);
        endSector = std::max(endSector, uint64_t{sector} + kGrainSectors);
      }
    }
  }
  std::stable_sort(kept.begin(), kept.end());
  std::stable_sort(grains.begin(), grains.end());
}

std::vector<Region> ExtentChecker::lostGrains(const LostTable& lost, const Occupancy& inUse) const {
  std::vector<Region> grains;
  for (uint64_t e = 0; e < header_.numGTEsPerGT; ++e) {
    uint32_t sector = getLittleEndian32(&lost.bytes[e * kEntryBytes]);
    if (sector == 0 || (sector == kZeroedGrainEntry && zeroedGrains_)) continue;
    uint64_t grain = lost.table * header_.numGTEsPerGT + e;
    uint64_t length =
        std::min(kGrainSectors, fileSectors_ - std::min<uint64_t>(fileSectors_, sector));
    if (grain >= grainCount_ || sector < header_.overHead || length == 0 ||
        inUse.meets(sector, length)) {
      return {};
    }
    grains.push_back(Region{sector, length, Part::kGrain, lost.copy, grain});
  }
  std::sort(grains.begin(), grains.end());
  for (size_t k = 1; k < grains.size(); ++k) {
    if (grains[k].start < grains[k - 1].end()) return {};
  }
  return grains;
}

void ExtentChecker::findLostTables() {
  if (stream_) return;
  std::vector<uint64_t> unnamed;  // tables no directory entry names
  for (uint64_t t = 0; t < heldTables_; ++t) {
    bool named = false;
    for (int c = 0; c < copies_; ++c) named = named || state_[c][t] != TableState::kAbsent;
    if (!named) unnamed.push_back(t);
  }
  if (unnamed.empty()) return;
  Occupancy inUse(regions_);
  std::vector<Region> found;
  for (uint64_t t : unnamed) {
    for (int c = 0; c < copies_; ++c) {
      uint64_t at = layoutSector(c, t);
      if (directoryDamaged_[c] || at + tableSectors_ > std::min(fileSectors_, kSectorLimit) ||
          inUse.meets(at, tableSectors_)) {
        continue;
      }
      LostTable lost{c, t, at, readTableBytes(at)};
      std::vector<Region> grains = lostGrains(lost, inUse);
      if (grains.empty()) continue;
      Region table{at, tableSectors_, Part::kTable, c, t};
      add(placeOf(table), "lost_table",
          name(table) + " at sector " + number(at) + " names " + number(grains.size()) +
              (grains.size() == 1 ? " grain" : " grains") +
              ", but no directory entry names it (lost)");
      found.push_back(table);
      for (const Region& grain : grains) {
        found.push_back(grain);
        grainsEnd_ = std::max(grainsEnd_, grain.start + kGrainSectors);
      }
      lost_.push_back(std::move(lost));
    }
  }
  regions_.insert(regions_.end(), found.begin(), found.end());
  std::stable_sort(regions_.begin(), regions_.end());
}

void ExtentChecker::readTable(int copy, uint64_t table, std::vector<uint32_t>& entries) {
  entries.assign(header_.numGTEsPerGT, 0);
  if (copy >= copies_ || state_[copy][table] != TableState::kRead) return;
  std::vector<uint8_t> bytes(entries.size() * kEntryBytes, 0);
  readAt(extent_.fileHandle(), path_, uint64_t{entries_[copy][table]} * kSectorBytes, bytes.data(),
         static_cast<uint32_t>(bytes.size()));
  for (size_t e = 0; e < entries.size(); ++e) entries[e] = getLittleEndian32(&bytes[e * 4]);
}

void ExtentChecker::checkEntry(int copy, uint64_t grain, uint32_t sector, bool shared) {
  if (sector == 0 || (sector == kZeroedGrainEntry && zeroedGrains_)) return;
  Region region{sector, kGrainSectors, Part::kGrain, copy, grain, shared};
  if (stream_) {
    auto found = std::lower_bound(walked_.begin(), walked_.end(), uint64_t{sector});
    if (found == walked_.end() || found->sector != sector) {
      add(placeOf(region), "no_grain_marker",
          name(region) + " at sector " + number(sector) + " names no grain marker");
      markDamaged(region);
      return;
    }
    found->named = true;
    region.length = found->sectors;
    if (found->lba != grain * kGrainSectors) {
      add(placeOf(region), "wrong_grain",
          name(region) + " at sector " + number(sector) + " names the grain of disk sector " +
              number(found->lba));
      markDamaged(region);
    }
  }
  if (!place(region, name(region))) markDamaged(region);
}

void ExtentChecker::checkTables() {
  std::vector<uint32_t> entries[2];
  for (uint64_t t = 0; t < heldTables_; ++t) {
    for (int c = 0; c < 2; ++c) readTable(c, t, entries[c]);
    bool primaryRead = state_[kPrimary][t] == TableState::kRead;
    bool redundantRead = copies_ == 2 && state_[kRedundant][t] == TableState::kRead;
    uint64_t differing = 0, first = 0;
    for (uint64_t e = 0; e < header_.numGTEsPerGT; ++e) {
      uint64_t grain = t * header_.numGTEsPerGT + e;
      if (grain >= grainCount_) break;
      bool same = copies_ == 2 && entries[kPrimary][e] == entries[kRedundant][e];
      if (primaryRead) checkEntry(kPrimary, grain, entries[kPrimary][e], same && redundantRead);
      if (copies_ < 2 || same) continue;
      if (redundantRead) checkEntry(kRedundant, grain, entries[kRedundant][e], false);
      if (differing++ == 0) first = e;
    }
    // Every table exists from the making of the file on: a directory entry
    // of 0 against a table that names grains has lost its table.
    for (int c = 0; c < copies_ && differing != 0; ++c) {
      if (state_[c][t] == TableState::kAbsent) damaged_[c][t] = true;
    }
    // A copy whose table cannot be read differs for a reason already told.
    bool comparable = state_[kPrimary][t] != TableState::kUnreadable &&
                      (copies_ < 2 || state_[kRedundant][t] != TableState::kUnreadable);
    if (differing != 0 && comparable) {
      add("grain table " + number(t), "tables_differ",
          "primary table " + number(t) + " and redundant table " + number(t) + " differ in " +
              number(differing) + (differing == 1 ? " entry" : " entries") + ", the first entry " +
              number(first));
      report_.findings.back().harmlessToWriters =
          !damaged_[kPrimary][t] && !damaged_[kRedundant][t];
    }
  }
}

bool ExtentChecker::namesZeros(uint32_t sector) const {
  if (sector == kZeroedGrainEntry && zeroedGrains_) return true;
  // A compressed grain's bytes are a stream, never all zeros.
  if (stream_) return false;
  std::vector<uint8_t> grain(kGrainBytes, 0);
  readAt(extent_.fileHandle(), path_, uint64_t{sector} * kSectorBytes, grain.data(),
         static_cast<uint32_t>(grain.size()));
  return allZeros(grain.data(), grain.size());
}

void ExtentChecker::checkEntriesPastCapacity() {
  // Only the last table has entries past the last grain.
  const uint64_t last = tableCount_ - 1;
  if (tableCount_ == 0 || last >= heldTables_) return;
  std::vector<uint32_t> entries;
  for (int c = 0; c < copies_; ++c) {
    readTable(c, last, entries);
    uint64_t count = 0, first = 0;
    // An entry that names zeros shows, once a larger disk reaches it, what
    // a grow gives the new part; a grow cut short leaves such entries (a
    // child's new part is made of grains of zeros).
    for (uint64_t e = grainCount_ - last * header_.numGTEsPerGT; e < entries.size(); ++e) {
      if (entries[e] != 0 && !namesZeros(entries[e]) && count++ == 0) first = e;
    }
    if (count == 0) continue;
    add(placeOf(Region{0, 0, Part::kTable, c, last}), "past_capacity",
        std::string(kCopyNames[c]) + " table " + number(last) + " has " + number(count) +
            (count == 1 ? " entry" : " entries") + " past the capacity, the first entry " +
            number(first));
    report_.findings.back().harmlessToWriters = true;
  }
}

void ExtentChecker::checkWalkedGrain(uint64_t sector, const StreamMarker& marker) {
  std::string where = "grain marker at sector " + number(sector);
  if (marker.value % kGrainSectors != 0 || marker.value >= header_.capacity) {
    add(where, "misplaced_grain",
        where + " is for disk sector " + number(marker.value) + ", where no grain starts");
  }
  if (marker.size > kMaxCompressedGrainBytes) {
    add(where, "oversized_grain",
        where + " announces " + number(marker.size) + " bytes, more than a grain can take");
    return;
  }
  std::vector<uint8_t> stream(marker.size), grain(kGrainBytes);
  uint64_t at = sector * kSectorBytes + kGrainMarkerBytes;
  if (readAt(extent_.fileHandle(), path_, at, stream.data(), marker.size) != marker.size) {
    add(where, "past_end", where + " runs past the end of the file");
    return;
  }
  std::optional<uint32_t> inflated =
      inflateGrain(stream.data(), marker.size, grain.data(), static_cast<uint32_t>(kGrainBytes));
  // The last grain of the disk may stop at the capacity.
  uint64_t sectorsLeft = header_.capacity - std::min(header_.capacity, marker.value);
  uint64_t needed = std::min(kGrainBytes, sectorsLeft * kSectorBytes);
  if (!inflated || *inflated < needed) {
    add(where, "bad_compressed_grain", where + " holds no whole compressed grain");
  }
}

void ExtentChecker::checkFooter(uint64_t sector) {
  // The header record and the compressAlgorithm field after it.
  constexpr uint32_t kFieldBytes = kHeaderRecordBytes + 2;
  uint8_t footer[kFieldBytes] = {}, head[kFieldBytes] = {};
  readAt(extent_.fileHandle(), path_, sector * kSectorBytes, footer, kFieldBytes);
  readAt(extent_.fileHandle(), path_, 0, head, kFieldBytes);
  std::string where = "the footer at sector " + number(sector);
  HeaderBytes record{};
  std::copy_n(footer, record.size(), record.begin());
  SparseExtentHeader copy = decodeHeader(record);
  if (copy.magicNumber != kSparseMagic || copy.gdOffset != extent_.directorySector()) {
    add("footer", "footer_mismatch",
        where + " does not name directory sector " + number(extent_.directorySector()));
  }
  if (copy.magicNumber != kSparseMagic) return;
  // The footer repeats the header but for the directory's place, which a
  // header written before the grains cannot know: readers that take the
  // footer must see the disk the header describes.
  for (const FooterField& field : kFooterFields) {
    uint64_t inFooter = 0, inHeader = 0;
    for (uint32_t i = field.width; i-- > 0;) {
      inFooter = inFooter << 8 | footer[field.offset + i];
      inHeader = inHeader << 8 | head[field.offset + i];
    }
    if (inFooter != inHeader) {
      add("footer", "footer_mismatch",
          where + " gives " + field.name + " " + number(inFooter) + ", the header " +
              number(inHeader));
    }
  }
}

void ExtentChecker::walkStream() {
  uint64_t sector = header_.overHead;
  // A header that names its directory leaves nothing to the stream: a file
  // that ends where the first grain would start is a disk of no grains.
  if (header_.gdOffset != kDirectoryInFooter && fileSectors_ == sector) return;
  for (;;) {
    uint8_t bytes[kMetadataMarkerBytes] = {};
    if (sector >= std::min(fileSectors_, kSectorLimit) ||
        readAt(extent_.fileHandle(), path_, sector * kSectorBytes, bytes, sizeof bytes) !=
            sizeof bytes) {
      add("end of stream", "truncated",
          "the stream ends at sector " + number(sector) + " without an end-of-stream marker");
      return;
    }
    StreamMarker marker = decodeMarker(bytes);
    uint64_t step = sectorsToNextMarker(marker);
    if (marker.isGrain()) {
      checkWalkedGrain(sector, marker);
      walked_.push_back(WalkedGrain{sector, step, marker.value, false});
    } else if (marker.type == static_cast<uint32_t>(MarkerType::kEndOfStream)) {
      return;
    } else if (marker.type > static_cast<uint32_t>(MarkerType::kFooter)) {
      add("marker at sector " + number(sector), "unknown_marker",
          "marker at sector " + number(sector) + " is of no known type (" + number(marker.type) +
              ")");
      return;
    } else if (marker.value >= kSectorLimit) {
      // No metadata that an entry can name lies that far on (and 1 + the
      // count could wrap to a step of nothing).
      add("marker at sector " + number(sector), "bad_marker",
          "marker at sector " + number(sector) + " announces " + number(marker.value) + " sectors");
      return;
    } else if (marker.type == static_cast<uint32_t>(MarkerType::kFooter)) {
      checkFooter(sector + 1);
    }
    sector += step;
  }
}

void ExtentChecker::reportLeaks() {
  if (stream_) {
    for (const WalkedGrain& grain : walked_) {
      if (!grain.named) {
        std::string where = "grain marker at sector " + number(grain.sector);
        add(where, "leak", where + " is named by no table entry (leak)", 1);
      }
    }
    return;
  }
  // regions_ is sorted by start: the gaps from the first grain's place on
  // are space that no structure claims.
  uint64_t cursor = header_.overHead;
  auto gap = [&](uint64_t end) {
    if (end <= cursor) return;
    uint64_t grains = divideRoundingUp(end - cursor, kGrainSectors);
    std::string where = "sectors " + number(cursor) + " to " + number(end - 1);
    add(where, "leak",
        where + " are named by no table entry (" + number(grains) +
            (grains == 1 ? " grain" : " grains") + " leaked)",
        grains);
  };
  for (const Region& region : regions_) {
    gap(std::min(region.start, fileSectors_));
    cursor = std::max(cursor, region.end());
  }
  gap(fileSectors_);
}

void ExtentChecker::planRepairs() {
  if (!planRepairs_) return;
  // Nothing is written over a structure in use, nor over a grain whose
  // entry is sound (whichever copy names it), nor where another repair
  // goes. A table whose place is in doubt goes to new space at the end of
  // the file, past every grain a table names.
  std::vector<Region> kept, grains;
  for (const Region& region : regions_) {
    if (region.faulty) continue;
    kept.push_back(region);
    if (region.part == Part::kGrain) grains.push_back(region);
  }
  uint64_t endSector = std::max(fileSectors_, grainsEnd_);
  keepSetAsideTables(kept, grains, endSector);
  Occupancy inUse(kept), dataInUse(grains);
  std::set<uint64_t> planned;  // where repaired tables go
  auto isFree = [&](uint64_t at) {
    auto next = planned.lower_bound(at - std::min(at, tableSectors_ - 1));
    return !inUse.meets(at, tableSectors_) &&
           (next == planned.end() || *next >= at + tableSectors_);
  };
  auto plan = [&](int copy, uint64_t table, uint64_t at, std::vector<uint8_t> bytes,
                  const std::string& from) {
    planned.insert(at);
    TableRepair repair;
    repair.path = path_;
    repair.text = std::string(kCopyNames[copy]) + " table " + number(table) + " " + from;
    repair.table = std::move(bytes);
    repair.tableByte = at * kSectorBytes;
    if (at != entries_[copy][table]) {
      repair.entryByte = directory_[copy] * kSectorBytes + table * kEntryBytes;
      repair.entry = static_cast<uint32_t>(at);
    }
    report_.repairs.push_back(std::move(repair));
  };
  for (LostTable& lost : lost_) {
    plan(lost.copy, lost.table, lost.sector, std::move(lost.bytes),
         "found at sector " + number(lost.sector));
  }
  if (copies_ < 2) return;
  for (uint64_t t = 0; t < heldTables_; ++t) {
    for (int target = 0; target < 2; ++target) {
      int source = 1 - target;
      if (!damaged_[target][t] || damaged_[source][t] || directoryDamaged_[target] ||
          state_[source][t] != TableState::kRead) {
        continue;
      }
      std::vector<uint8_t> bytes = readTableBytes(entries_[source][t]);
      // A table that was read lies clear of every structure: it is
      // rewritten in place unless a grain lies there. Else the layout's
      // place holding this very table is certain; any other place is in
      // doubt.
      uint64_t at = layoutSector(target, t);
      if (state_[target][t] == TableState::kRead &&
          !dataInUse.meets(entries_[target][t], tableSectors_)) {
        at = entries_[target][t];
      } else if (state_[target][t] == TableState::kRead ||
                 at + tableSectors_ > std::min(fileSectors_, kSectorLimit) || !isFree(at) ||
                 readTableBytes(at) != bytes) {
        if (endSector + tableSectors_ > kSectorLimit) continue;
        at = endSector;
        endSector += tableSectors_;
      }
      plan(target, t, at, std::move(bytes),
           std::string("from the ") + kCopyNames[source] + " copy");
    }
  }
}

void ExtentChecker::run() {
  // A writer that died with the extent open leaves the mark: what it wrote
  // last may be missing. Writers may go on; check -R clears it once the
  // walk finds nothing else.
  if (header_.uncleanShutdown != 0) {
    add("header", "unclean_shutdown", "the header says the file was not closed cleanly");
    report_.findings.back().harmlessToWriters = true;
    if (!stream_) report_.marked.push_back(path_);
  }
  addFixedRegions();
  readDirectories();
  sweep(false);
  if (stream_) walkStream();
  findTablesOnAgreedGrains();
  checkTables();
  checkEntriesPastCapacity();
  // Tables that overlap others were dropped from the walk; the sweep over
  // the grains sees only those that were read.
  std::erase_if(regions_, [this](const Region& r) {
    return r.part == Part::kTable && state_[r.copy][r.index] != TableState::kRead;
  });
  sweep(true);
  findLostTables();
  reportLeaks();
  planRepairs();
  if (planRepairs_ && stream_) report_.hasStream = true;
}

}  // namespace

uint64_t CheckReport::problemCount() const {
  return static_cast<uint64_t>(
      std::count_if(findings.begin(), findings.end(), [](auto& f) { return !f.isLeak(); }));
}

uint64_t CheckReport::leakedGrains() const {
  uint64_t grains = 0;
  for (const CheckFinding& finding : findings) grains += finding.leakedGrains;
  return grains;
}

void checkSparseExtent(const VMDKSingleFileReader& extent, bool planRepairs, CheckReport& report) {
  ExtentChecker(extent, planRepairs, report).run();
}

}  // namespace skarvel
