#include "writer/sparse_extent_compactor.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "base/byte_order.h"
#include "base/fatal_error.h"
#include "base/numbers.h"
#include "base/zeros.h"
#include "format/units.h"
#include "platform/file.h"
#include "writer/sparse_extent_editor.h"

namespace skarvel {

namespace {

constexpr int kPrimary = 0;
constexpr int kRedundant = 1;

// Grains copied between two syncs: 16 MiB of data per batch.
constexpr size_t kBatchGrains = 256;

}  // namespace

SparseExtentCompactor::SparseExtentCompactor(int fd, std::string path)
    : fd_(fd), path_(std::move(path)), header_(readEditableHeader(fd_, path_)) {
  hasRedundant_ = (header_.flags & kHeaderFlagRedundantDirectory) != 0 && header_.rgdOffset != 0;
  directory_[kPrimary] = header_.gdOffset;
  directory_[kRedundant] = header_.rgdOffset;
  grainCount_ = divideRoundingUp(header_.capacity, kGrainSectors);
  tableCount_ = divideRoundingUp(grainCount_, header_.numGTEsPerGT);
  readTables();
}

void SparseExtentCompactor::readTables() {
  const uint32_t tableBytes = header_.numGTEsPerGT * static_cast<uint32_t>(kEntryBytes);
  std::vector<uint8_t> directories[2], bytes(tableBytes);
  for (int c = 0; c < copies(); ++c) {
    directories[c].resize(tableCount_ * kEntryBytes);
    readAt(directory_[c] * kSectorBytes, directories[c].data(),
           static_cast<uint32_t>(directories[c].size()));
  }
  for (uint64_t t = 0; t < tableCount_; ++t) {
    Table table;
    table.index = t;
    bool namesAny = false;
    for (int c = 0; c < 2; ++c) {
      table.entries[c].assign(header_.numGTEsPerGT, 0);
      if (c >= copies()) continue;
      table.sector[c] = getLittleEndian32(&directories[c][t * kEntryBytes]);
      if (table.sector[c] == 0) continue;
      tablePlaces_.push_back(table.sector[c]);
      readAt(table.sector[c] * kSectorBytes, bytes.data(), tableBytes);
      for (uint32_t e = 0; e < header_.numGTEsPerGT; ++e) {
        table.entries[c][e] = getLittleEndian32(&bytes[e * kEntryBytes]);
        namesAny = namesAny || table.entries[c][e] != 0;
      }
    }
    if (namesAny) tables_.push_back(std::move(table));
  }
}

bool SparseExtentCompactor::namesGrain(uint32_t entry) const {
  bool zeroed = (header_.flags & kHeaderFlagZeroedGrains) != 0;
  return entry != 0 && !(zeroed && entry == kZeroedGrainEntry);
}

std::vector<SparseExtentCompactor::NamedGrain> SparseExtentCompactor::liveGrains() const {
  std::vector<NamedGrain> live;
  for (size_t t = 0; t < tables_.size(); ++t) {
    const Table& table = tables_[t];
    for (uint32_t e = 0; e < header_.numGTEsPerGT; ++e) {
      if (table.index * header_.numGTEsPerGT + e >= grainCount_) break;
      if (namesGrain(table.entries[kPrimary][e])) {
        live.push_back({table.entries[kPrimary][e], t, e});
      }
    }
  }
  std::sort(live.begin(), live.end(),
            [](const NamedGrain& a, const NamedGrain& b) { return a.sector < b.sector; });
  return live;
}

uint64_t SparseExtentCompactor::namedGrains() const { return liveGrains().size(); }

void SparseExtentCompactor::compact(const std::function<bool(uint64_t)>& parentReadsZeros,
                                    const std::function<void()>& step, CompactResult& result) {
  result.bytesBefore += fileLength();
  // A run that dies leaves the mark. A rerun, over an extent its caller
  // found sound apart from the mark, finishes the job and clears it.
  writeUncleanShutdown(fd_, path_, true);
  alignCopies();
  uint64_t removed = 0;
  result.grainsMoved += moveGrainsDown(parentReadsZeros, step, removed);
  result.grainsRemoved += removed;
  const uint64_t end = endOfContents();
  if (fileLength() > end * kSectorBytes) {
    if (!platform::setFileSize(fd_, end * kSectorBytes)) failWrite();
    sync();
  }
  writeUncleanShutdown(fd_, path_, false);
  result.bytesAfter += fileLength();
}

void SparseExtentCompactor::alignCopies() {
  if (copies() < 2) return;
  bool changed = false;
  for (Table& table : tables_) {
    if (table.sector[kPrimary] == 0 || table.sector[kRedundant] == 0) continue;
    bool differ = false;
    for (uint32_t e = 0; e < header_.numGTEsPerGT; ++e) {
      if (table.index * header_.numGTEsPerGT + e >= grainCount_) break;
      differ = differ || table.entries[kRedundant][e] != table.entries[kPrimary][e];
      table.entries[kRedundant][e] = table.entries[kPrimary][e];
    }
    if (!differ) continue;
    writeTable(table, kRedundant);
    changed = true;
  }
  if (changed) sync();
}

bool SparseExtentCompactor::replacementFor(const NamedGrain& grain,
                                           const std::function<bool(uint64_t)>& parentReadsZeros,
                                           uint32_t& replacement) const {
  replacement = 0;
  uint64_t index = tables_[grain.table].index * header_.numGTEsPerGT + grain.entry;
  if (!parentReadsZeros || parentReadsZeros(index)) return true;
  // Over data below, the grain hides it: it becomes an entry that reads as
  // zeros without taking space, or stays.
  replacement = kZeroedGrainEntry;
  return (header_.flags & kHeaderFlagZeroedGrains) != 0;
}

std::vector<SparseExtentCompactor::Span> SparseExtentCompactor::spansInUse(
    const std::vector<NamedGrain>& live) const {
  const uint64_t tableSectors =
      divideRoundingUp(uint64_t{header_.numGTEsPerGT} * kEntryBytes, kSectorBytes);
  const uint64_t directorySectors = divideRoundingUp(tableCount_ * kEntryBytes, kSectorBytes);
  std::vector<Span> used = {{0, header_.overHead}};
  for (int c = 0; c < copies(); ++c) {
    used.push_back({directory_[c], directory_[c] + directorySectors});
  }
  for (uint64_t place : tablePlaces_) used.push_back({place, place + tableSectors});
  // Entries past the capacity name grains no read meets today; they stay.
  for (const Table& table : tables_) {
    for (int c = 0; c < copies(); ++c) {
      for (uint32_t e = 0; e < header_.numGTEsPerGT; ++e) {
        uint32_t entry = table.entries[c][e];
        if (table.index * header_.numGTEsPerGT + e >= grainCount_ && namesGrain(entry)) {
          used.push_back({entry, entry + kGrainSectors});
        }
      }
    }
  }
  for (const NamedGrain& grain : live) used.push_back({grain.sector, grain.sector + kGrainSectors});
  std::sort(used.begin(), used.end(),
            [](const Span& a, const Span& b) { return a.begin < b.begin; });
  return used;
}

std::vector<uint64_t> SparseExtentCompactor::freePlaces(const std::vector<Span>& used,
                                                        uint64_t limit) const {
  std::vector<uint64_t> places;
  size_t i = 0;
  for (uint64_t at = header_.overHead; at < limit;) {
    while (i < used.size() && used[i].end <= at) ++i;
    if (i < used.size() && used[i].begin < at + kGrainSectors) {
      at = used[i].end;
      continue;
    }
    places.push_back(at);
    at += kGrainSectors;
  }
  return places;
}

uint64_t SparseExtentCompactor::moveGrainsDown(
    const std::function<bool(uint64_t)>& parentReadsZeros, const std::function<void()>& step,
    uint64_t& removed) {
  const std::vector<NamedGrain> live = liveGrains();
  // Nothing moves up: places below the highest grain are all that count.
  const uint64_t limit = live.empty() ? 0 : live.back().sector;
  const std::vector<uint64_t> initial = freePlaces(spansInUse(live), limit);
  std::set<uint64_t> free(initial.begin(), initial.end());
  // A batch: the grains that move (each read into its slot of |data|),
  // their new places, the places it frees.
  std::vector<uint8_t> data(kBatchGrains * kGrainBytes);
  std::vector<uint64_t> to;
  std::set<uint64_t> left;
  uint64_t moved = 0;
  for (size_t i = 0; i < live.size();) {
    to.clear();
    left.clear();
    while (i < live.size() && to.size() < kBatchGrains) {
      const NamedGrain& named = live[i];
      uint8_t* grain = &data[to.size() * kGrainBytes];
      readGrainAt(named.sector, grain);
      uint32_t replacement = 0;
      if (allZeros(grain, kGrainBytes) && replacementFor(named, parentReadsZeros, replacement)) {
        setEntry(named, replacement);
        left.insert(named.sector);
        ++removed;
      } else if (!free.empty() && *free.begin() < named.sector) {
        to.push_back(*free.begin());
        free.erase(free.begin());
        setEntry(named, static_cast<uint32_t>(to.back()));
        left.insert(named.sector);
      } else if (!left.empty() && *left.begin() < named.sector) {
        break;  // a lower place comes free with this batch
      }
      ++i;
      step();
    }
    writeMoved(to, data);
    writeDirtyTables();
    moved += to.size();
    free.insert(left.begin(), left.end());
  }
  return moved;
}

uint64_t SparseExtentCompactor::endOfContents() const {
  uint64_t end = header_.overHead;
  for (const Span& span : spansInUse(liveGrains())) end = std::max(end, span.end);
  return end;
}

void SparseExtentCompactor::setEntry(const NamedGrain& grain, uint32_t entry) {
  Table& table = tables_[grain.table];
  table.entries[kPrimary][grain.entry] = entry;
  table.entries[kRedundant][grain.entry] = entry;
  table.dirty = true;
}

void SparseExtentCompactor::writeMoved(const std::vector<uint64_t>& to,
                                       const std::vector<uint8_t>& data) {
  if (to.empty()) return;
  for (size_t k = 0; k < to.size(); ++k) {
    writeAt(to[k] * kSectorBytes, &data[k * kGrainBytes], static_cast<uint32_t>(kGrainBytes));
  }
  sync();
}

void SparseExtentCompactor::writeDirtyTables() {
  bool wrote = false;
  for (Table& table : tables_) {
    if (!table.dirty) continue;
    // The redundant copy first: readers follow the primary.
    if (copies() == 2 && table.sector[kRedundant] != 0) writeTable(table, kRedundant);
    writeTable(table, kPrimary);
    table.dirty = false;
    wrote = true;
  }
  if (wrote) sync();
}

void SparseExtentCompactor::writeTable(const Table& table, int copy) {
  std::vector<uint8_t> bytes(table.entries[copy].size() * kEntryBytes);
  for (size_t e = 0; e < table.entries[copy].size(); ++e) {
    putLittleEndian32(&bytes[e * kEntryBytes], table.entries[copy][e]);
  }
  writeAt(table.sector[copy] * kSectorBytes, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void SparseExtentCompactor::readGrainAt(uint64_t sector, uint8_t* grain) {
  int64_t n =
      platform::readFileAt(fd_, sector * kSectorBytes, grain, static_cast<uint32_t>(kGrainBytes));
  if (n < 0) throw FatalError("Failed to read file " + path_);
  std::fill(grain + n, grain + kGrainBytes, 0);
}

uint64_t SparseExtentCompactor::fileLength() {
  uint64_t length = 0;
  if (!platform::fileSizeOf(fd_, &length)) throw FatalError("Failed to read file " + path_);
  return length;
}

void SparseExtentCompactor::sync() {
  if (!platform::syncFile(fd_)) failWrite();
}

void SparseExtentCompactor::readAt(uint64_t offset, void* data, uint32_t length) {
  if (platform::readFileAt(fd_, offset, data, length) != length) {
    throw FatalError("Failed to read file " + path_);
  }
}

void SparseExtentCompactor::writeAt(uint64_t offset, const void* data, uint32_t length) {
  if (!platform::writeFileAt(fd_, offset, data, length)) failWrite();
}

void SparseExtentCompactor::failWrite() const { throw FatalError("Failed to write file " + path_); }

}  // namespace skarvel
