// Compacting one sparse extent file in place: grains of zeros that no read
// needs leave the tables, the grains kept move down into the space freed
// and into space no entry names (leaks), and the file is cut after the last
// thing it holds. Directories and tables stay where they are.
//
// The grains are read once, in the order they lie in the file, in batches.
// Every step keeps the extent reading as before:
// 1. first, a redundant table that differs from its primary (what an
//    interrupted run leaves) takes the primary's entries, which are what
//    readers follow, and the file is synced;
// 2. of each batch, the grains that move are copied to places no entry
//    names, and the file is synced; then both copies of the entries of the
//    batch change (the redundant copy first, as every writer here orders
//    the two): the grains moved are named at their new places, the grains
//    of zeros leave the tables; then the file is synced. The places the
//    batch left are used from the next batch on;
// 3. the file is cut, after every table names the new places.
// A run that stops leaves at worst space that no entry names (a leak) and,
// between the writes of a table's two copies, copies that differ where each
// names the same bytes; a rerun finishes the job. The work is in proportion
// to the grains the tables name: only tables that name something are kept,
// and only named grains are read. Callers check the extent first
// (refuseDamagedImage).
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
  // stays. |step| is called once per named grain, when it has found its
  // place. Adds to |result|. Throws FatalError("Failed to write file " +
  // path) when a write or a sync fails.
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
  // Step 2 for every batch; returns how many grains moved and adds the
  // grains taken out to |removed|.
  uint64_t moveGrainsDown(const std::function<bool(uint64_t)>& parentReadsZeros,
                          const std::function<void()>& step, uint64_t& removed);
  // The entry a grain of zeros named by |grain| gets: 0 where nothing below
  // shows, else a zeroed grain where allowed; false when it must stay.
  bool replacementFor(const NamedGrain& grain,
                      const std::function<bool(uint64_t)>& parentReadsZeros,
                      uint32_t& replacement) const;
  // The first sector past everything the file holds.
  uint64_t endOfContents() const;
  // Grains within the capacity that the primary tables name, by sector.
  std::vector<NamedGrain> liveGrains() const;
  // Metadata and the grains that entries past the capacity name (which stay
  // where they are), then |live|: the spans no grain may move into.
  std::vector<Span> spansInUse(const std::vector<NamedGrain>& live) const;
  // Places of whole grains below |limit| clear of every span in |used|.
  // REQUIRES: |used| is sorted by its first sectors.
  std::vector<uint64_t> freePlaces(const std::vector<Span>& used, uint64_t limit) const;
  // Writes grain k of |data| to place |to|[k], for every k, and syncs.
  void writeMoved(const std::vector<uint64_t>& to, const std::vector<uint8_t>& data);
  // Sets entry |grain| in both copies of its table to |entry|.
  void setEntry(const NamedGrain& grain, uint32_t entry);
  // Writes every dirty table, redundant copy first, then syncs.
  void writeDirtyTables();
  void writeTable(const Table& table, int copy);
  // The grain at |sector| into |grain|, a whole grain's room (zeros where
  // the file ends inside it).
  void readGrainAt(uint64_t sector, uint8_t* grain);
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
