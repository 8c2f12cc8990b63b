// Checking one sparse extent file against everything a reader relies on.
//
// The reader has already applied its header rules when the extent opened;
// what it takes on trust is checked here: that the descriptor area, both grain
// directories, every grain table and every grain lie inside the file and clear
// of one another; that the primary and the redundant copy of each table agree;
// that no two entries name the same grain; and, for a stream-optimized extent,
// that the markers walk from the first grain to the end of the stream, that
// every compressed grain inflates to a whole grain and that the footer agrees
// with the directory in use and repeats the header's other fields. A table
// that lies on a grain both copies name alike, or on one the other copy
// names while the copies differ throughout, is the one at fault. Space that no entry names is a
// leak: it wastes room but no read ever meets it; but a table that names grains in the file, found
// where the layout puts one that no directory entry names, is lost, not leaked.
#ifndef SKARVEL_READER_EXTENT_CHECK_H_
#define SKARVEL_READER_EXTENT_CHECK_H_

#include <cstdint>
#include <string>
#include <vector>

namespace skarvel {

class VMDKSingleFileReader;

// One problem, in the file at |path|: |text| says where (which directory,
// table, entry or sector) and what is wrong. A leak counts the grains of
// unnamed space it stands for and is harmless.
struct CheckFinding {
  std::string path;
  std::string text;
  uint64_t leakedGrains = 0;
  // True for a problem that no place an in-place writer follows or writes
  // depends on: two copies of a table that differ while each is sound (one
  // may be a step ahead of the other), entries past the capacity (which
  // grow clears). Such a problem need not stop a writer.
  bool harmlessToWriters = false;
  // Where, for programs: "header", "descriptor", "grain directory" (or
  // "redundant grain directory"), "grain table 12" (or "redundant grain
  // table 12"), "grain 345", "grain marker at sector 130", "footer", "end of
  // stream", "sectors 128 to 255", "extent line 2", "parent link".
  std::string place;
  // What, as a snake_case word: "past_end", "overlap", "lost_table",
  // "no_grain_marker", "wrong_grain", "tables_differ", "past_capacity",
  // "misplaced_grain", "oversized_grain", "bad_compressed_grain",
  // "footer_mismatch", "truncated", "unknown_marker", "bad_marker", "leak",
  // "past_sector_limit", "size_mismatch", "flat_is_sparse", "cid_mismatch",
  // "unclean_shutdown"; "package" and "unreadable_disk" for packages.
  std::string kind;

  bool isLeak() const { return leakedGrains != 0; }
};

// A damaged copy of a grain table put back from the intact other copy: the
// table's bytes go to byte |tableByte| of |path| first; then, when
// |entryByte| is not 0, the directory entry that names the table is set to
// |entry|.
struct TableRepair {
  std::string path;
  std::string text;  // what is repaired, from where
  uint64_t tableByte = 0;
  std::vector<uint8_t> table;
  uint64_t entryByte = 0;
  uint32_t entry = 0;
};

struct CheckReport {
  std::vector<CheckFinding> findings;
  std::vector<TableRepair> repairs;
  // A stream-optimized extent was among those whose repairs were asked for.
  bool hasStream = false;
  // The extents (not streams) that carry the unclean-shutdown mark, each
  // reported once among |findings|.
  std::vector<std::string> marked;

  // The findings that are not leaks.
  uint64_t problemCount() const;
  uint64_t leakedGrains() const;
};

// Checks |extent| and appends its findings to |report| (a header that carries
// the unclean-shutdown mark among them, harmless to writers); with |planRepairs|,
// also the repairs that have a plainly sound source: a copy of a table (or
// its directory entry) that is damaged while the other copy is intact, and a
// table that no directory entry names, found where the sector map puts it
// (its entries sound). No repair writes over a structure in use, over a
// grain whose entry is sound in either copy, or where another repair goes. A
// table is rewritten where the damaged copy's directory entry points when
// that entry is sound; else where the sector map puts it, when that place is
// free and holds this very table; else, its place in doubt, at the end of
// the file. Throws FatalError("Failed to read file " + path) on an I/O
// error.
void checkSparseExtent(const VMDKSingleFileReader& extent, bool planRepairs, CheckReport& report);

}  // namespace skarvel

#endif  // SKARVEL_READER_EXTENT_CHECK_H_
