// Reading one sparse extent file through its primary grain directory.
//
// Versions 1 to 3 are read. Version 2 may mark grains as zeroed (a table
// entry of 1 with flag bit 2 set). A stream-optimized extent (version 3 with
// flag bits 16 and 17) stores each grain as a zlib stream behind a grain
// marker, and may leave its directory to a footer at the end of the file.
#ifndef SKARVEL_READER_SINGLE_FILE_READER_H_
#define SKARVEL_READER_SINGLE_FILE_READER_H_

#include <vector>

#include "format/sparse_header.h"
#include "reader/vmdk_reader.h"

namespace skarvel {

// What the first bytes of a file say about it.
enum class SparseProbe {
  kNotSparse,    // no "KDMV" magic (or fewer than 8 bytes): maybe a descriptor file
  kReadable,     // a sparse extent of a version and kind this reader reads
  kUnsupported,  // the magic, but another version, compression or grain size
};

// Reads the header at the start of |fd| (at |path|, for messages). Throws
// FatalError("Failed to read file " + path) on an I/O error.
SparseProbe probeSparseExtent(int fd, const std::string& path);

class VMDKSingleFileReader : public VMDKReader {
 public:
  // Takes ownership of |fd|, an open sparse extent file at |path|, and reads
  // its header, any embedded descriptor and, for a stream whose directory is
  // in its footer, the footer. Bytes the file lacks read as 0.
  // Throws FatalError with
  //   "Unsupported extent file " + path        when the file is not a
  //       sparse extent that probeSparseExtent calls readable;
  //   "Truncated image file " + path           when the file ends before
  //       the header's overHead sectors (header, descriptor area, and but
  //       for a stream both directories and all tables);
  //   "Invalid sparse extent header in " + path when its capacity exceeds
  //       kMaxCapacitySectors, its metadata would lie at or past sector
  //       2^32, or its tables hold no entry or more than 512;
  //   "Failed to read file " + path            when a stream's footer cannot
  //       be found.
  VMDKSingleFileReader(int fd, const std::string& path);

  bool isMultiFile() const override { return false; }
  uint32_t readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) override;
  void releaseBuffers() override;
  uint64_t allocatedGrains() override;
  void failOnMissingData() override;
  // A grain stored uncompressed that the file holds to its last byte.
  bool placeOfGrain(uint64_t grain, GrainPlace* place) override;

  const SparseExtentHeader& header() const { return header_; }
  // The sector of the directory reads go through: the header's gdOffset,
  // or the footer's for a stream that leaves it there.
  uint64_t directorySector() const { return directorySector_; }

  // True when no sector from |start| up to |end| belongs to the grain index
  // as the file has it: the primary directory (the footer's, for a stream),
  // the redundant one, and every table either names. Costs a read of both
  // directories, as far as the file holds them.
  bool indexAvoids(uint64_t start, uint64_t end) const;

 private:
  // Entry |tableIndex| of the primary directory (0 when absent or past the
  // end of the file), from a block of the directory read at once.
  uint32_t directoryEntry(uint64_t tableIndex);
  // The sector of grain |entryIndex| of table |tableIndex|; 0 when absent.
  // With failOnMissing_, fails when the file does not hold the entry or
  // the entry of the directory that names its table.
  uint32_t grainSector(uint64_t tableIndex, uint64_t entryIndex);
  // Makes |cachedTable_| hold table |tableIndex| (all zero when absent).
  void loadTable(uint64_t tableIndex);
  // Inflates the grain whose marker is at |sector| into |buffer|.
  uint32_t readCompressedGrain(uint64_t grain, uint32_t sector, uint8_t* buffer, uint32_t length);
  // Sets fileBytes_ once, from the file's length.
  void learnFileBytes();
  // Throws the "Truncated image file " error described above.
  void refuseTruncatedFile() const;
  [[noreturn]] void failRead() const;

  SparseExtentHeader header_;
  // The primary directory: the header's gdOffset, or the footer's.
  uint64_t directorySector_ = 0;
  bool zeroedGrains_ = false;
  bool compressed_ = false;
  // Set by failOnMissingData; the file's length in bytes, learnt then or
  // by the first placeOfGrain.
  bool failOnMissing_ = false;
  bool knowsFileBytes_ = false;
  uint64_t fileBytes_ = 0;
  // The grain table last looked up, as its bytes, and a block of the
  // directory. Grains are mostly read in index order, so one read per table
  // replaces two entry reads per grain. A header with tables of more than
  // 512 entries is refused, so a table is never larger than 2 KiB.
  static constexpr uint64_t kNoTable = ~uint64_t{0};
  uint64_t cachedTableIndex_ = kNoTable;
  std::vector<uint8_t> cachedTable_;
  uint64_t directoryBlockStart_ = 0;
  uint32_t cachedTableHeld_ = 0;  // bytes of the cached table the file holds
  std::vector<uint8_t> directoryBlock_;
  // A compressed grain as stored, and as inflated (both empty until needed).
  std::vector<uint8_t> stream_;
  std::vector<uint8_t> inflated_;
};

}  // namespace skarvel

#endif  // SKARVEL_READER_SINGLE_FILE_READER_H_
