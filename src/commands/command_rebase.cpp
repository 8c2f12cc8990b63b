#include "commands/command_rebase.h"

#include <algorithm>
#include <vector>

#include "base/fatal_error.h"
#include "base/paths.h"
#include "commands/descriptor_rewrite.h"
#include "commands/json_report.h"
#include "platform/file.h"
#include "reader/chain_reader.h"
#include "reader/image_check.h"
#include "reader/multi_file_reader.h"
#include "reader/open_image.h"
#include "reader/single_file_reader.h"
#include "writer/sparse_extent_editor.h"

namespace skarvel {

namespace {

// The child and its extents are locked for writing, the chains it reads
// through for reading. Extents are written through the descriptors they
// were read by; the child's second opening, as a member of its old chain,
// takes no lock, which the child's own would refuse.
constexpr int kReadOnly = platform::kOpenBinary | platform::kOpenReadOnly;
constexpr int kReadLocked = kReadOnly | platform::kOpenLockRead;
constexpr int kWriteLocked =
    platform::kOpenBinary | platform::kOpenReadWrite | platform::kOpenLockWrite;

// The CID of the image itself, also when |reader| is the chain it heads.
uint32_t ownCID(const VMDKReader& reader) {
  const auto* chain = dynamic_cast<const VMDKChainReader*>(&reader);
  return chain != nullptr ? chain->readers().front()->descriptor().CID : reader.descriptor().CID;
}

std::vector<platform::FileIdentity> identitiesOf(const VMDKReader& reader) {
  std::vector<int> fds;
  reader.appendOpenFiles(fds);
  std::vector<platform::FileIdentity> identities;
  for (int fd : fds) {
    platform::FileIdentity identity;
    if (platform::identityOfDescriptor(fd, &identity)) identities.push_back(identity);
  }
  return identities;
}

// A child read through a chain that holds one of its own files would read
// itself.
void refuseLoop(const VMDKReader& child, const std::string& childPath, const VMDKReader& newChain) {
  std::vector<platform::FileIdentity> chain = identitiesOf(newChain);
  for (const platform::FileIdentity& own : identitiesOf(child)) {
    if (std::find(chain.begin(), chain.end(), own) != chain.end()) {
      throw FatalError("Parent chain loops back to " + childPath);
    }
  }
}

// Adds grains to the child in place: to its one sparse extent file, or to
// the sparse extent of its descriptor file that holds each grain, through
// the descriptors the child was opened with. Every extent is checked when
// the sink is made, so that a child that cannot take grains is refused
// before any is written.
class GrainSink {
 public:
  explicit GrainSink(VMDKReader& child) : child_(child) {
    if (!child.isMultiFile()) {
      editors_.emplace_back(child.fileHandle(), child.path());
      return;
    }
    for (const auto& extent : static_cast<VMDKMultiFileReader&>(child).extentReaders()) {
      if (dynamic_cast<const VMDKSingleFileReader*>(extent.get()) == nullptr) {
        throw FatalError("Unsupported image file " + child.path());
      }
      editors_.emplace_back(extent->fileHandle(), extent->path());
    }
  }

  void add(uint64_t grain, const uint8_t* data, uint32_t length) {
    if (!child_.isMultiFile()) return editors_.front().addGrain(grain, data, length);
    auto [extent, index] = static_cast<VMDKMultiFileReader&>(child_).extentOf(grain);
    editors_[extent].addGrain(index, data, length);
  }

  // Clears the unclean-shutdown mark of each extent of a descriptor file
  // that took grains: their last write. A one-file child keeps its mark
  // until its descriptor, in the same file, is rewritten.
  void finish() {
    if (!child_.isMultiFile()) return;
    for (SparseExtentEditor& editor : editors_) editor.markClean();
  }

 private:
  VMDKReader& child_;
  std::vector<SparseExtentEditor> editors_;
};

// Reads grain |grain| of |reader| (none: a disk of zeros) into |buffer|,
// |length| bytes; returns how many of them the reader holds (0 when it holds
// none, or zeros: then |buffer| is left as it was).
uint32_t readHeld(VMDKReader* reader, uint64_t grain, std::vector<uint8_t>& buffer,
                  uint32_t length) {
  uint32_t n = reader != nullptr ? reader->readGrain(grain, buffer.data(), length) : 0;
  return n == kZeroedGrain ? 0 : n;
}

// Writes into |child| every grain it does not hold where |oldParents| (the
// chain below it today; null for none) and |newParent| read differently,
// with the bytes the child shows today. A grain that neither holds reads as
// zeros through both and costs no more than its lookups. Returns the count
// of grains written.
uint64_t keepWhatTheChildShows(VMDKReader& child, VMDKReader* oldChain, VMDKReader& newParent) {
  GrainSink sink(child);
  uint64_t stored = 0;
  std::vector<uint8_t> own(kGrainBytes), before(kGrainBytes), after(kGrainBytes);
  for (uint64_t grain = 0; grain < child.grainCount(); ++grain) {
    if (child.readGrain(grain, own.data(), static_cast<uint32_t>(own.size())) != 0) continue;
    // The child shows nothing past its own capacity.
    uint64_t sectorsLeft = child.capacity() - grain * kGrainSectors;
    uint32_t length = static_cast<uint32_t>(std::min(kGrainBytes, sectorsLeft * kSectorBytes));
    uint32_t held = readHeld(oldChain, grain, before, length);
    uint32_t shown = readHeld(&newParent, grain, after, length);
    if (held == 0 && shown == 0) continue;
    std::fill(before.begin() + held, before.begin() + length, 0);
    std::fill(after.begin() + shown, after.begin() + length, 0);
    if (!std::equal(before.begin(), before.begin() + length, after.begin())) {
      sink.add(grain, before.data(), length);
      ++stored;
    }
  }
  sink.finish();
  return stored;
}

// True when the child is one sparse extent file whose grains are not
// compressed: its descriptor is rewritten inside it, under the mark. (A
// stream's footer repeats its header, which a mark would set apart; its
// descriptor is rewritten in one write.)
bool marksItself(const VMDKReader& child) {
  const auto* single = dynamic_cast<const VMDKSingleFileReader*>(&child);
  return single != nullptr && (single->header().flags & kHeaderFlagCompressedGrains) == 0;
}

}  // namespace

int32_t CommandRebase::execute(int32_t argc, char** argv) {
  if (argc < 3) printUsage();
  const std::string childPath = argv[1], parentPath = argv[2];
  std::unique_ptr<VMDKReader> child = openImage(childPath, kWriteLocked, kWriteLocked);
  if (child->layout().descriptorSectors == 0) {
    throw FatalError("Unsupported image file " + childPath);
  }
  // A loop is told apart from a lock held by another program before the new
  // chain is locked: locked, the child's own lock would refuse it.
  refuseLoop(*child, childPath, *openWithParents(parentPath, kReadOnly, kReadOnly));
  std::unique_ptr<VMDKReader> newParent = openWithParents(parentPath, kReadLocked, kReadLocked);
  const uint32_t newParentCID = ownCID(*newParent);

  DiskDescriptor descriptor = child->descriptor();
  descriptor.parentCID = newParentCID;
  descriptor.parentFileNameHint =
      parentHintFor(parentPath, childPath, platform::currentDirectory());
  if (!quotesCleanly(descriptor.parentFileNameHint)) {
    throw FatalError("Unsupported file name " + parentPath);
  }
  std::string text = composeRewrite(childPath, *child, descriptor, child->layout());
  if (options->linkOnly && child->descriptor().parentCID != newParentCID) {
    throw FatalError("Parent CID does not match " + parentPath);
  }
  // Without -l, the chain the child reads through today, the child
  // included; opened apart from the child being changed.
  std::unique_ptr<VMDKReader> oldChain;
  if (!options->linkOnly && child->descriptor().hasParent()) {
    oldChain = openWithParents(childPath, kReadOnly, kReadLocked);
  }
  refuseDamagedImage(*child, childPath);
  const bool marked = marksItself(*child);
  if (marked) writeUncleanShutdown(child->fileHandle(), childPath, true);
  uint64_t stored =
      options->linkOnly ? 0 : keepWhatTheChildShows(*child, oldChain.get(), *newParent);
  // The old chain's own handles on the child's files go before its
  // descriptor is replaced: on Windows an open file cannot be replaced.
  oldChain.reset();
  writeRewrite(childPath, child, text);
  if (marked) writeUncleanShutdown(child->fileHandle(), childPath, false);
  if (options->json) {
    printJson({{"file", jsonName(childPath)},
               {"parent_file_name_hint", jsonName(descriptor.parentFileNameHint)},
               {"parent_cid", jsonCid(newParentCID)},
               {"grains_stored", stored}});
  }
  return 0;
}

}  // namespace skarvel
