// Reading a stream-optimized image from a stream read once, front to back
// (standard input): the header, the descriptor, then the markers in order.
//
// Each grain marker carries its place in the disk, so the grain directory at
// the end is not needed to copy the disk. What is copied must be what a
// reader that seeks would read, so the stream is refused ("Invalid stream
// image " + path) rather than read differently:
//   - a marker of no known type, or a table or directory marker announcing
//     more sectors than its structure takes;
//   - a grain marker whose place is not the start of a grain, lies past the
//     capacity, or does not come after every grain before it (a grain that
//     appears twice, or out of order);
//   - where the header places the directory in the overhead (its tables
//     then lie there too, kept in memory as they pass): a grain whose table
//     entry does not name its marker, or a table entry naming a grain that
//     never comes;
//   - where the directory comes after the grains: a grain table marker whose
//     entries do not
//     name exactly the grains since the previous one, a directory marker
//     that does not name exactly the tables that came or lies elsewhere than
//     the header says, a header that names a directory that never comes, or
//     a footer that names another directory than the one that came (where
//     the header leaves it to the footer). These checks come
//     after the grains they cover were delivered: the caller's run then ends
//     in failure.
// A stream that ends before its end-of-stream marker (or a sector of zeros
// where a marker belongs) is FatalError("Truncated image file " + path).
#ifndef SKARVEL_READER_STREAM_PIPE_READER_H_
#define SKARVEL_READER_STREAM_PIPE_READER_H_

#include <optional>
#include <vector>

#include "format/sparse_header.h"
#include "reader/vmdk_reader.h"

namespace skarvel {

class VMDKStreamPipeReader : public VMDKReader {
 public:
  // Takes ownership of |fd|, open for reading at the image's first byte,
  // and reads its header (already read into |header|, the first sector, by
  // the caller), overhead and descriptor. Throws FatalError("Invalid stream
  // image " + path) for a header or overhead it cannot take.
  VMDKStreamPipeReader(int fd, const std::string& path, const std::vector<uint8_t>& firstSector);

  bool isMultiFile() const override { return false; }

  // Grains must be asked for in increasing index order; an index behind the
  // stream is FatalError("Failed to read file " + path). Returns 0 for a
  // grain the stream does not hold.
  uint32_t readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) override;
  // The next grain the stream holds (reads ahead to its marker).
  uint64_t nextGrainWithData(uint64_t grain) override;

 private:
  struct PendingGrain {
    uint64_t index = 0;
    uint64_t sector = 0;
    std::vector<uint8_t> stream;
  };

  // Reads |sectors| whole sectors of the stream into |out| (appended).
  void readSectors(uint64_t sectors, std::vector<uint8_t>& out);
  // Reads markers up to the next grain marker (kept in |pending_|) or the
  // end of the stream.
  void loadPending();
  void takeGrainMarker(const std::vector<uint8_t>& sector);
  void takeTable(uint64_t sectors);
  void takeDirectory(uint64_t sectors);
  void takeFooter();
  // Where the header names the directory: its entry for |grain| (0: absent).
  uint32_t headerTableEntry(uint64_t grain) const;
  // Refuses grains from |from| up to |to| that the header's tables name.
  void refuseNamedGrains(uint64_t from, uint64_t to) const;
  void finishStream();
  [[noreturn]] void refuse() const;
  // Refuses a marker after the directory (or footer) a reader that seeks
  // stops at.
  void refuseAfterDirectory() const;

  SparseExtentHeader header_;
  uint64_t position_ = 0;  // sectors of the stream read so far
  bool ended_ = false;
  std::optional<PendingGrain> pending_;
  uint64_t nextAllowed_ = 0;  // lowest grain index a marker may still carry
  // The overhead (sector 0 on), kept where the directory lies in it.
  std::vector<uint8_t> overhead_;
  bool directoryInHeader_ = false;  // in the overhead, as the header says
  // Footer-named directory: the grains since the last table marker, as
  // (index, marker sector), and the tables seen, as (index, sector).
  std::vector<std::pair<uint64_t, uint64_t>> untabled_;
  std::vector<std::pair<uint64_t, uint64_t>> tables_;
  uint64_t directorySector_ = 0;  // of the last directory marker's directory
  // Footer-named or header-named directory after the grains: one directory,
  // then at most one footer, then only the end. Anything after them would
  // be read here and not by a reader that seeks.
  bool directorySeen_ = false;
  bool footerSeen_ = false;
  std::vector<uint8_t> inflated_;
};

}  // namespace skarvel

#endif  // SKARVEL_READER_STREAM_PIPE_READER_H_
