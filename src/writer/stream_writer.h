// Writing a stream-optimized extent: one file written front to back, never
// sought back into, in the order other writers of the format use:
//
//   sector 0       header: version 3, grains compressed behind markers,
//                  gdOffset all ones (the directory's place is not known yet)
//   1 .. 20        the embedded descriptor
//   128 onward     for each grain table that maps data: its grains, each a
//                  grain marker and its zlib stream padded to whole sectors,
//                  then a grain table marker and the table (4 sectors),
//                  whose entries name the sectors of the grain markers
//   then           a directory marker and the directory; tables that map
//                  no data have no table and a directory entry of 0
//   then           a footer marker and the footer: the header again, with
//                  the directory's sector in gdOffset
//   last           the end-of-stream marker, a sector of zeros
//
// Grains that are not written are not stored and read as zeros.
#ifndef SKARVEL_WRITER_STREAM_WRITER_H_
#define SKARVEL_WRITER_STREAM_WRITER_H_

#include <functional>
#include <utility>
#include <vector>

#include "format/sparse_header.h"
#include "format/stream_marker.h"
#include "writer/grain_compressor.h"
#include "writer/vmdk_writer.h"

namespace skarvel {

class VMDKStreamWriter : public VMDKWriter {
 public:
  // Receives each block of the stream's bytes, in order, before it is
  // written.
  using Observer = std::function<void(const uint8_t* data, size_t length)>;

  // Takes ownership of |fd|, open read-write on an empty file at |path|, and
  // writes the header and |descriptorText| there. REQUIRES: the text fits
  // the 20-sector descriptor area (checkDescriptorFits).
  //
  // With an |observer| the stream is a member inside a larger file (a
  // package): |fd| stays its caller's, who closes it, and is positioned
  // where the stream begins; the stream's sectors count from there, and
  // |observer| sees every byte written.
  //
  // With |describe| (a file whose size is not known yet, see
  // settleCapacity) close() writes sectors 0 to 127 once more, in place, as
  // the last write: the header and describe(final layout) as the text.
  using Describe = std::function<std::string(const SparseLayout&)>;
  VMDKStreamWriter(int fd, const std::string& path, const SparseLayout& layout,
                   const std::string& descriptorText, Observer observer = {},
                   Describe describe = nullptr);
  // Stops the compression; the file stays as far as it was written.
  ~VMDKStreamWriter() override;

  // Compresses a whole grain: |data| cut to 65536 bytes, or padded with
  // zeros. Grains must come in increasing index order, as a stream is
  // written front to back; a grain at or below one already written is a
  // write failure, as is anything that would lie at or past sector 2^32.
  // Failures show here or at the latest at close().
  void writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) override;
  // Writes the grains in flight, the last table, the directory, the footer
  // and the end-of-stream marker, then closes the file.
  void close() override;
  // Takes the capacity into the layout and the header (and footer).
  void settleCapacity(uint64_t sectors) override;

 private:
  // Sectors 0 to 127: the header (directory in the footer) and |text|.
  std::vector<uint8_t> head(const std::string& text) const;
  void storeGrain(uint64_t grain, const std::vector<uint8_t>& stream);
  void finishTable();
  void writeDirectory();
  // Appends a metadata marker announcing |sectors| sectors of |type|.
  void appendMarker(uint64_t sectors, MarkerType type);
  // Appends |length| bytes at |data| and pads them to a whole sector.
  void appendSectors(const uint8_t* data, size_t length);
  void flush();

  SparseExtentHeader header_;
  Observer observer_;
  Describe describe_;
  GrainCompressor compressor_;
  uint64_t nextGrain_ = 0;         // lowest grain index still accepted
  uint64_t nextSector_ = 0;        // where the next appended sector goes
  std::vector<uint8_t> gathered_;  // sectors to go at gatheredSector_
  uint64_t gatheredSector_ = 0;

  static constexpr uint64_t kNoTable = ~uint64_t{0};
  std::vector<uint8_t> table_;  // table tableIndex_ as its on-disk bytes
  uint64_t tableIndex_ = kNoTable;
  // (table index, sector) of every table written, in index order.
  std::vector<std::pair<uint64_t, uint32_t>> tables_;
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_STREAM_WRITER_H_
