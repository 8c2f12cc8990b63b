// Compacting one sparse extent file in place: grains of zeros that no read
// needs leave the tables, the grains kept move down into the space freed
// and into space no entry names (leaks), and the file is cut after the last
// thing it holds. Directories and tables stay where they are.
//
// Every step keeps the extent reading as before, in this order:
// 1. a redundant table that differs from its primary (what an interrupted
//    run leaves) takes the primary's entries, which are what readers follow;
// 2. grains of zeros leave both copies of their table (the redundant copy
//    first, as every writer here orders the two), then the file is synced:
//    their space is free only once no entry on the disk names it;
// 3. grains move in batches: each is copied to a place no entry names, the
//    file is synced, then both copies of its entry name the new place
//    (redundant first) and the file is synced again; a place a grain left is
//    used from the next batch on;
// 4. the file is cut, after every table names the new places.
// A run that stops leaves at worst space that no entry names (a leak) and,
// between the writes of a table's two copies, copies that differ where each
// names the same bytes; a rerun finishes the job. The work is in proportion
// to the grains the tables name: only nonzero tables are kept, and only
// named grains are read. Callers check the extent first (refuseDamagedImage).
#ifndef SKARVEL_WRITER_SPARSE_EXTENT_COMPACTOR_H_
#define SKARVEL_WRITER_SPARSE_EXTENT_COMPACTOR_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "format/sparse_header.h"

namespace skarvel {

// What a compaction did, summed over extents.
struct CompactResult {
  uint64_t grainsRemoved = 0;  // grains of zeros no table names any more
  uint64_t grainsMoved = 0;    // grains copied to a lower place
  uint64_t bytesBefore = 0;    // the files' lengths before
  uint64_t bytesAfter = 0;     // and after
};

class SparseExtentCompactor {
 public:
  // |fd| (not owned; it must outlive the compactor) is open read-write on
  // the extent at |path|; reads its header, directories and the tables that
  // name anything. Throws FatalError("Unsupported image file " + path) for
  // compressed grains or a directory in a footer, FatalError("Failed to
  // read file " + path) when a read fails.
  SparseExtentCompactor(int fd, std::string path);

  // Grains within the capacity that the primary tables name (zeroed grains
  // not counted).
  uint64_t namedGrains() const;

  // Compacts the extent. |parentReadsZeros| tells, for a grain index of
  // this extent, whether what lies below it reads as zeros there (null: the
  // extent has nothing below it, which reads as zeros everywhere). A grain
  // of zeros leaves the tables where that holds; elsewhere, with the
  // zeroed-grain flag, it becomes a zeroed-grain entry, and without it
  // stays. |step| is called twice per named grain: once when it has been
  // examined, once when it has found its place. Adds to |result|. Throws
  // FatalError("Failed to write file " + path) when a write or a sync fails.
  void compact(const std::function<bool(uint64_t)>& parentReadsZeros,
               const std::function<void()>& step, CompactResult& result);

 private:
  // The copies of the tables that name anything: the primary (0) and the
  // redundant (1) one, where they lie and their entries.
  struct Table {
    uint64_t index = 0;
    uint64_t sector[2] = {0, 0};
    std::vector<uint32_t> entries[2];
    bool dirty = false;
  };
  // A grain a table names: where it lies and which entry names it.
  struct NamedGrain {
    uint64_t sector;
    size_t table;  // in tables_
    uint32_t entry;
  };
  // Sectors [begin, end) of the file in use.
  struct Span {
    uint64_t begin;
    uint64_t end;
  };

  void readTables();
  // True when a table entry names a grain in the file (not 0, not a zeroed
  // grain).
  bool namesGrain(uint32_t entry) const;
  // Step 1: redundant copies that differ take the primary's entries.
  void alignCopies();
  // Step 2: grains of zeros out of the tables; returns how many.
  uint64_t removeZeroGrains(const std::function<bool(uint64_t)>& parentReadsZeros,
                            const std::function<void()>& step);
  // Step 3: returns how many grains moved; sets |end| to the first sector
  // past everything the file still holds.
  uint64_t moveGrainsDown(const std::function<void()>& step, uint64_t& end);
  // Grains within the capacity that the primary tables name, by sector.
  std::vector<NamedGrain> liveGrains() const;
  // Metadata and the grains that entries past the capacity name (which stay
  // where they are), then |live|: the spans no grain may move into.
  std::vector<Span> spansInUse(const std::vector<NamedGrain>& live) const;
  // Places of whole grains below |limit| clear of every span in |used|.
  // REQUIRES: |used| is sorted by its first sectors.
  std::vector<uint64_t> freePlaces(const std::vector<Span>& used, uint64_t limit) const;
  // Copies each grain of |batch| to its new place, syncs, points both
  // copies of its entries there, syncs.
  void moveBatch(const std::vector<std::pair<NamedGrain, uint64_t>>& batch);
  // Writes every dirty table, redundant copy first, then syncs.
  void writeDirtyTables();
  void writeTable(const Table& table, int copy);
  // The grain at |sector| (zeros where the file ends inside it).
  void readGrainAt(uint64_t sector, std::vector<uint8_t>& grain);
  int copies() const { return hasRedundant_ ? 2 : 1; }
  uint64_t fileLength();
  void sync();
  void readAt(uint64_t offset, void* data, uint32_t length);
  void writeAt(uint64_t offset, const void* data, uint32_t length);
  [[noreturn]] void failWrite() const;

  int fd_;
  std::string path_;
  SparseExtentHeader header_;
  bool hasRedundant_ = false;
  uint64_t directory_[2] = {0, 0};
  uint64_t tableCount_ = 0;  // tables the capacity needs
  uint64_t grainCount_ = 0;  // grains within the capacity
  std::vector<Table> tables_;
  std::vector<uint64_t> tablePlaces_;  // every table of either copy, named or not
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_SPARSE_EXTENT_COMPACTOR_H_
