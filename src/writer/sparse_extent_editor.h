// Changing an existing sparse extent file in place: grains added where it
// holds none, and a larger capacity.
//
// The editor works on extents of versions 1 and 2 whose grains are not
// compressed, whatever wrote them: it follows the header's two directories
// and the tables they name, and puts everything new past the end of the
// file and of every grain its tables name (a last grain the file holds only
// in part is in use to its end). Every change is ordered so that an entry
// never names what is not yet written: grain data before the table entries
// that point to it, a new table (all zeros) before the directory entry that
// names it, new directories before the header that names them. Of the two
// copies of an entry, the redundant one is written first: readers use the
// primary, so a run that stops between the two leaves the grain unseen, and
// a rerun writes both. Callers check the extent first (refuseDamagedImage):
// the editor follows what the header and tables say.
//
// While a run changes the extent, its header carries the unclean-shutdown
// mark (byte 72 set to 1): the editor sets it before its first write, and
// clears it with markClean() or in commitHeader() once everything else is
// written, so that a run that dies leaves the mark for check to report.
#ifndef SKARVEL_WRITER_SPARSE_EXTENT_EDITOR_H_
#define SKARVEL_WRITER_SPARSE_EXTENT_EDITOR_H_

#include <cstdint>
#include <string>
#include <vector>

#include "format/sparse_header.h"
#include "format/units.h"

namespace skarvel {

class SparseExtentEditor {
 public:
  // |fd| (not owned, and it must outlive the editor) is open read-write on
  // the extent at |path|. Throws FatalError("Unsupported image file " +
  // path) for an extent whose grains are compressed or whose directory lies
  // in a footer, FatalError("Damaged image file " + path) for a directory
  // at or past sector 2^32, and FatalError("Failed to read file " + path)
  // when its header or length cannot be read.
  SparseExtentEditor(int fd, std::string path);

  const SparseExtentHeader& header() const { return header_; }

  // Sets the unclean-shutdown mark and syncs it, unless this editor did so
  // already (every write of the editor calls it first); a caller that
  // writes the file itself calls it before its own first write.
  void markUnclean();

  // Clears the mark (after syncing what came before) when this editor set it
  // (a mark it found set is cleared once it has written): the caller's
  // last write to the file.
  void markClean();

  // Stores |length| bytes of |data|, zero-padded to a whole grain, as grain
  // |grain| at the end of the file, then its sector in the tables of both
  // directories. REQUIRES: |grain| lies within the capacity and the extent
  // does not hold it.
  void addGrain(uint64_t grain, const uint8_t* data, uint32_t length);

  // Lays down what a capacity of |capacity| sectors needs beyond today's:
  // entries of the last table past today's capacity cleared in both copies
  // (what they name must not come into view), tables of zeros for the new
  // grains, and, where a directory has no room
  // for the new entries, a new larger copy of it at the end of the file;
  // then syncs the file. The header still describes the old capacity: the
  // extent reads as before until commitHeader(). REQUIRES: |capacity| is
  // larger than today's and at most kMaxCapacitySectors.
  void prepareCapacity(uint64_t capacity);

  // Writes the header (capacity and directory offsets as prepared) and
  // |following| after it, from sector 1 on, in one write, and syncs the
  // file: an embedded descriptor whose extent line gives the new size
  // becomes visible with the header or not at all. The header it writes
  // carries no unclean-shutdown mark: it is the editor's last write.
  void commitHeader(const std::vector<uint8_t>& following = {});

  // All the calls above throw FatalError("Failed to write file " + path)
  // when a write fails, and FatalError("Failed to read file " + path) when
  // a read does.

 private:
  // Entry |index| of the directory at sector |directory|.
  uint32_t directoryEntry(uint64_t directory, uint64_t index);
  // |sectors| sectors at the end of the file, reading as zeros; returns the
  // first.
  uint64_t allocate(uint64_t sectors);
  // The first sector past the file and past every table and grain (within
  // the capacity) that either directory names; read once, then kept.
  uint64_t endSector();
  void clearEntriesPastCapacity();
  // A copy of the directory at |directory| with room for |tables| entries,
  // at the end of the file; returns its sector.
  uint64_t moveDirectory(uint64_t directory, uint64_t oldTables, uint64_t tables);
  // Tables that |capacity| sectors need.
  uint64_t tablesFor(uint64_t capacity) const;
  bool hasRedundantDirectory() const;
  // The primary directory's sector, then the redundant one's if there is one.
  std::vector<uint64_t> directories() const;
  void readAt(uint64_t offset, void* data, uint32_t length);
  void writeAt(uint64_t offset, const void* data, uint32_t length);
  [[noreturn]] void failWrite() const;

  int fd_;
  std::string path_;
  SparseExtentHeader header_;
  uint64_t tableSectors_;   // sectors of one table
  uint64_t endSector_ = 0;  // see endSector(); 0 until read
  bool marked_ = false;     // this editor has set the mark (or found it set)
};

// The header of the sparse extent open as |fd| (at |path|), for editing in
// place. Throws FatalError("Unsupported image file " + path) for compressed
// grains, a directory in a footer or tables of no entries, and
// FatalError("Failed to read file " + path) when the read fails.
SparseExtentHeader readEditableHeader(int fd, const std::string& path);

// Byte 72 of the header of the sparse extent open read-write as |fd| (at
// |path|): 1 when |unclean|, else 0 after syncing what was written before;
// written, then synced. Throws
// FatalError("Failed to write file " + path).
void writeUncleanShutdown(int fd, const std::string& path, bool unclean);

}  // namespace skarvel

#endif  // SKARVEL_WRITER_SPARSE_EXTENT_EDITOR_H_
