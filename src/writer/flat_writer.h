// Writing plain extent files: the disk's sectors in order from each file's
// first byte, as a raw disk file or the FLAT extents of a descriptor file
// hold them. The files are laid down at their full length first (holes that
// read as zeros), so a grain that is never written stays a hole.
#ifndef SKARVEL_WRITER_FLAT_WRITER_H_
#define SKARVEL_WRITER_FLAT_WRITER_H_

#include <vector>

#include "writer/split_extents.h"
#include "writer/vmdk_writer.h"

namespace skarvel {

class VMDKFlatWriter : public VMDKWriter {
 public:
  // Takes ownership of |fd|: the descriptor file at |path|, its text written
  // by the caller, or -1 for a raw output, which has none. The files of
  // |extents| already exist under |directory| at their full length.
  VMDKFlatWriter(int fd, const std::string& path, const SparseLayout& layout,
                 const std::string& directory, const SplitExtents& extents);
  // Writes what is still gathered, as far as it can, and closes the files;
  // failures can no longer be reported here (close() reports them).
  ~VMDKFlatWriter() override;

  // Writes |length| bytes (at most a grain) at the grain's place in the
  // extent file that holds it. Consecutive grains are gathered into large
  // writes; only the extent written last is open. Throws FatalError("Failed
  // to write file " + extent path) when an extent cannot be opened or
  // written.
  void writeGrain(uint64_t grain, const uint8_t* data, uint32_t length) override;
  // Where the system copies inside itself: grains from consecutive places
  // to consecutive places are copied in one request, gathered as writes are.
  bool copiesGrainPlaces() const override;
  void copyGrain(uint64_t grain, const GrainPlace& place) override;
  // Writes the gathered grains and closes the open extent, then the
  // descriptor file.
  void close() override;
  // For a raw output made before its size was known: also sizes its file
  // (created empty) to the capacity.
  void settleCapacity(uint64_t sectors) override;

 private:
  // The grain's byte offset in the extent file that holds it, which is
  // opened if it is not the open one.
  uint64_t offsetInExtent(uint64_t grain);
  void openExtent(uint64_t index);
  void flush();
  void flushCopy();
  void closeExtent();

  std::string directory_;
  SplitExtents extents_;
  static constexpr uint64_t kNoExtent = ~uint64_t{0};
  uint64_t openIndex_ = kNoExtent;
  int extentFd_ = -1;
  std::string extentPath_;
  std::vector<uint8_t> gathered_;  // bytes to go at gatheredOffset_ of the open extent
  uint64_t gatheredOffset_ = 0;
  GrainPlace copying_;       // the first grain of the gathered copy
  uint64_t copyLength_ = 0;  // bytes to copy from it
  uint64_t copyTo_ = 0;      // their offset in the open extent
};

}  // namespace skarvel

#endif  // SKARVEL_WRITER_FLAT_WRITER_H_
