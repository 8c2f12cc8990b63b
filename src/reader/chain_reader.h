// Reading a child image through its chain of parents.
//
// A child records its parent by parentCID and parentFileNameHint and holds
// only the grains written since; every other grain comes from the nearest
// parent that holds it.
#ifndef SKARVEL_READER_CHAIN_READER_H_
#define SKARVEL_READER_CHAIN_READER_H_

#include "platform/file.h"
#include "reader/vmdk_reader.h"

namespace skarvel {

class VMDKChainReader : public VMDKReader {
 public:
  // Takes over |readers|, child first and root last (at least two). Reports
  // the child's capacity and layout (the disk the child shows) and the root's
  // descriptor, without a parent.
  explicit VMDKChainReader(std::vector<std::unique_ptr<VMDKReader>> readers);
  ~VMDKChainReader() override;

  // The child's answer.
  bool isMultiFile() const override;
  // The grain from the first of the consulted members that holds it. A
  // member that has it zeroed answers too (kZeroedGrain), hiding the rest. A
  // member shows nothing past its own capacity: a grain that it cuts is cut
  // short, whatever the members below hold there. Below a consulted member's
  // end inside the grain, the members under it answer, those left out by
  // setLevels included, so that a copy keeping those as its parent stores
  // the whole grain: their data, zeros past the end. A grain that no member
  // holds up to such an end (or that a member ends before) reads as zeros
  // that hide the members below that reach it (kZeroedGrain).
  uint32_t readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) override;
  void appendOpenFiles(std::vector<int>& fds) const override;
  void failOnMissingData() override;

  const std::vector<std::unique_ptr<VMDKReader>>& readers() const { return readers_; }

  // Consults only the first |levels| members (-1: all of them). When that
  // leaves members out, the chain's descriptor names as parent the one that
  // the last consulted member names (its parentCID and hint as stored);
  // otherwise it names none.
  void setLevels(int32_t levels);

 private:
  std::vector<std::unique_ptr<VMDKReader>> readers_;
  int32_t levels_ = -1;
};

// Follows the parent records from |child|, opened from |childPath|, to the
// root. Returns null, leaving |child| alone, when the child names no parent;
// otherwise the chain, which has taken |child| over. A relative hint is
// resolved against the directory of the image that records it. Throws
// FatalError("Failed to open " + parent path) for a parent that cannot be
// opened and FatalError("Parent chain loops back to " + parent path) when a
// parent is a file already in the chain. Parents open with |flags| (see
// openImage), and so do their extents.
std::unique_ptr<VMDKChainReader> openChain(std::unique_ptr<VMDKReader>& child,
                                           const std::string& childPath,
                                           int flags = platform::kOpenBinary |
                                                       platform::kOpenReadOnly);

// The image at |path| opened with |flags|, read through its chain of parents
// opened with |parentFlags|: the chain when it names a parent, else the image
// itself. Throws what openImage and openChain throw.
std::unique_ptr<VMDKReader> openWithParents(const std::string& path, int flags, int parentFlags);

// The parents of |child|, opened from |childPath|, nearest first, as far as
// the chain opens: the walk ends quietly at a parent that cannot be opened
// and at one that is a file already in the chain. Never throws for the
// chain's sake; for guards that must know the files of a chain that may be
// broken. Empty when the child names no parent.
std::vector<std::unique_ptr<VMDKReader>> openReachableParents(const VMDKReader& child,
                                                              const std::string& childPath,
                                                              int flags = platform::kOpenBinary |
                                                                          platform::kOpenReadOnly);

}  // namespace skarvel

#endif  // SKARVEL_READER_CHAIN_READER_H_
