#include "reader/chain_reader.h"

#include <algorithm>

#include "base/fatal_error.h"
#include "base/paths.h"
#include "format/units.h"
#include "platform/file.h"
#include "reader/open_image.h"

namespace skarvel {

namespace {

void clearParent(DiskDescriptor& descriptor) {
  descriptor.parentCID = kNoParentCID;
  descriptor.parentFileNameHint.clear();
}

// The bytes of grain |grain| that lie within |member|'s capacity, at most
// |length|: 0 when the grain begins at or past its end.
uint32_t bytesWithin(const VMDKReader& member, uint64_t grain, uint32_t length) {
  uint64_t sectors = member.capacity();
  // The grain begins at sector grain * 128, before the end exactly when
  // grain <= (sectors - 1) / 128.
  if (sectors == 0 || grain > (sectors - 1) / kGrainSectors) return 0;
  uint64_t sectorsLeft = sectors - grain * kGrainSectors;
  if (sectorsLeft >= kGrainSectors) return length;
  return static_cast<uint32_t>(std::min<uint64_t>(length, sectorsLeft * kSectorBytes));
}

platform::FileIdentity identityOf(const VMDKReader& reader) {
  platform::FileIdentity identity;
  platform::identityOfDescriptor(reader.fileHandle(), &identity);
  return identity;
}

// Opens the parents of |child|, opened from |childPath|, nearest first, with
// |flags|. A parent that cannot be opened, or that is a file already in the
// chain, ends the walk: quietly when |quiet|, otherwise with the FatalError
// of openChain.
std::vector<std::unique_ptr<VMDKReader>> openParents(const VMDKReader& child,
                                                     const std::string& childPath, int flags,
                                                     bool quiet) {
  std::vector<platform::FileIdentity> seen = {identityOf(child)};
  std::vector<std::unique_ptr<VMDKReader>> parents;
  const VMDKReader* member = &child;
  std::string memberPath = childPath;
  while (member->descriptor().hasParent()) {
    std::string directory, fileName;
    splitPath(memberPath, directory, fileName);
    std::string parentPath = resolveAgainst(directory, member->descriptor().parentFileNameHint);
    platform::FileIdentity identity;
    if (platform::identityOfPath(parentPath, &identity) &&
        std::find(seen.begin(), seen.end(), identity) != seen.end()) {
      if (quiet) break;
      throw FatalError("Parent chain loops back to " + parentPath);
    }
    try {
      parents.push_back(openImage(parentPath, flags));
    } catch (const FatalError&) {
      if (quiet) break;
      throw;
    }
    seen.push_back(identityOf(*parents.back()));
    member = parents.back().get();
    memberPath = parentPath;
  }
  return parents;
}

}  // namespace

VMDKChainReader::VMDKChainReader(std::vector<std::unique_ptr<VMDKReader>> readers)
    : VMDKReader(-1, readers.front()->path()), readers_(std::move(readers)) {
  // The disk is the child's; its descriptor fields are the root's.
  layout_ = readers_.front()->layout();
  capacity_ = readers_.front()->capacity();
  descriptor_ = readers_.back()->descriptor();
  clearParent(descriptor_);
}

VMDKChainReader::~VMDKChainReader() {
  // Members go child first.
  for (auto& reader : readers_) reader.reset();
}

bool VMDKChainReader::isMultiFile() const { return readers_.front()->isMultiFile(); }

uint32_t VMDKChainReader::readGrain(uint64_t grain, uint8_t* buffer, uint32_t length) {
  // The first member that ends inside or before this grain: what lies past
  // its end reads as zeros, whatever the members below it hold there.
  // Members left out by setLevels are read only below such an end: a copy
  // that keeps them as its parent stores the whole grain there, what they
  // show below the end and zeros past it.
  size_t cutBy = readers_.size();
  for (size_t i = 0; i < readers_.size(); ++i) {
    bool consulted = levels_ == -1 || static_cast<int64_t>(i) < levels_;
    if (!consulted && cutBy == readers_.size()) break;
    uint32_t within = bytesWithin(*readers_[i], grain, length);
    if (within < length && cutBy == readers_.size()) cutBy = i;
    length = within;
    if (length == 0) break;
    uint32_t n = readers_[i]->readGrain(grain, buffer, length);
    if (n != 0) return n;  // data, or kZeroedGrain: either hides the members beyond
  }
  // Zeros up to the end, none of the members below holding data there; they
  // hide the members below the cut that reach this grain, those left out by
  // setLevels included: a partial copy that keeps them as its parent must
  // store the zeros.
  for (size_t i = cutBy + 1; i < readers_.size(); ++i) {
    if (bytesWithin(*readers_[i], grain, 1) != 0) return kZeroedGrain;
  }
  return 0;
}

void VMDKChainReader::failOnMissingData() {
  for (const auto& reader : readers_) reader->failOnMissingData();
}

void VMDKChainReader::appendOpenFiles(std::vector<int>& fds) const {
  for (const auto& reader : readers_) reader->appendOpenFiles(fds);
}

void VMDKChainReader::setLevels(int32_t levels) {
  levels_ = levels;
  if (levels > 0 && static_cast<size_t>(levels) < readers_.size()) {
    const DiskDescriptor& last = readers_[levels - 1]->descriptor();
    descriptor_.parentCID = last.parentCID;
    descriptor_.parentFileNameHint = last.parentFileNameHint;
  } else {
    clearParent(descriptor_);
  }
}

std::unique_ptr<VMDKChainReader> openChain(std::unique_ptr<VMDKReader>& child,
                                           const std::string& childPath, int flags) {
  if (!child->descriptor().hasParent()) return nullptr;
  std::vector<std::unique_ptr<VMDKReader>> members = openParents(*child, childPath, flags, false);
  members.insert(members.begin(), std::move(child));
  return std::make_unique<VMDKChainReader>(std::move(members));
}

std::unique_ptr<VMDKReader> openWithParents(const std::string& path, int flags, int parentFlags) {
  std::unique_ptr<VMDKReader> image = openImage(path, flags);
  if (std::unique_ptr<VMDKChainReader> chain = openChain(image, path, parentFlags)) return chain;
  return image;
}

std::vector<std::unique_ptr<VMDKReader>> openReachableParents(const VMDKReader& child,
                                                              const std::string& childPath,
                                                              int flags) {
  return openParents(child, childPath, flags, true);
}

}  // namespace skarvel
