#include "commands/command_grow.h"

#include <algorithm>
#include <vector>

#include "base/fatal_error.h"
#include "base/paths.h"
#include "commands/descriptor_rewrite.h"
#include "format/sparse_extent_file.h"
#include "platform/file.h"
#include "reader/chain_reader.h"
#include "reader/multi_file_reader.h"
#include "reader/open_image.h"
#include "reader/single_file_reader.h"
#include "writer/sparse_extent_editor.h"
#include "writer/split_extents.h"

namespace skarvel {

namespace {

constexpr int kReadOnly = platform::kOpenBinary | platform::kOpenReadOnly;
constexpr int kReadWrite = platform::kOpenBinary | platform::kOpenReadWrite;

// The chain below |image| as one reader, or null when it names no parent:
// what the new part of a grown child would show where the child holds
// nothing.
std::unique_ptr<VMDKReader> openParentsOf(const VMDKReader& image, const std::string& path) {
  if (!image.descriptor().hasParent()) return nullptr;
  std::string directory, fileName;
  splitPath(path, directory, fileName);
  std::string parentPath = resolveAgainst(directory, image.descriptor().parentFileNameHint);
  std::unique_ptr<VMDKReader> parent = openImage(parentPath, kReadOnly);
  if (std::unique_ptr<VMDKChainReader> chain = openChain(parent, parentPath)) return chain;
  return parent;
}

// Makes the new grains |first| up to |last| of the extent |editor| changes
// (grains from |diskFirst| on of the disk) read as zeros: a grain of zeros
// goes wherever |parents| hold data. REQUIRES: the capacity is prepared.
void hideParents(SparseExtentEditor& editor, VMDKReader* parents, uint64_t diskFirst,
                 uint64_t first, uint64_t last) {
  if (parents == nullptr) return;
  std::vector<uint8_t> buffer(kGrainBytes);
  const std::vector<uint8_t> zeros(kGrainBytes, 0);
  for (uint64_t grain = first; grain < last && diskFirst + grain < parents->grainCount(); ++grain) {
    uint32_t n =
        parents->readGrain(diskFirst + grain, buffer.data(), static_cast<uint32_t>(buffer.size()));
    if (n == 0 || n == kZeroedGrain) continue;
    if (std::any_of(buffer.begin(), buffer.begin() + n, [](uint8_t b) { return b != 0; })) {
      editor.addGrain(grain, zeros.data(), static_cast<uint32_t>(zeros.size()));
    }
  }
}

// Raises the sparse extent open as |fd| at |path| (grains from |diskFirst|
// on of the disk) to |capacity| sectors, header last.
void growExtent(int fd, const std::string& path, uint64_t capacity, VMDKReader* parents,
                uint64_t diskFirst) {
  SparseExtentEditor editor(fd, path);
  uint64_t oldGrains = editor.header().capacity / kGrainSectors;
  editor.prepareCapacity(capacity);
  hideParents(editor, parents, diskFirst, oldGrains, capacity / kGrainSectors);
  editor.commitHeader();
}

void refuseStream(const VMDKReader& extent, const std::string& path) {
  const auto* sparse = dynamic_cast<const VMDKSingleFileReader*>(&extent);
  if (sparse != nullptr && (sparse->header().flags & kHeaderFlagCompressedGrains) != 0) {
    throw FatalError("Cannot grow stream-optimized image " + path);
  }
}

void growSingleFile(const std::string& path, std::unique_ptr<VMDKReader>& image,
                    uint64_t capacity) {
  bool embedded = image->layout().descriptorSectors != 0;
  SparseLayout layout = computeLayout(capacity, embedded ? 1 : 0);
  if (!layout.wholeFileAddressable()) {
    throw FatalError("Disk is too large for a single file " + path);
  }
  std::string text;
  if (embedded) text = composeRewrite(path, *image, image->descriptor(), layout);
  std::unique_ptr<VMDKReader> parents = openParentsOf(*image, path);
  SparseExtentEditor editor(image->fileHandle(), path);
  editor.prepareCapacity(capacity);
  hideParents(editor, parents.get(), 0, image->grainCount(), layout.grainCount);
  // The descriptor's extent line and geometry first: readers take the size
  // from the header, which comes last.
  if (embedded) writeRewrite(path, image, text);
  editor.commitHeader();
}

// A new extent of a split image, before it exists.
struct NewExtent {
  std::string path;
  uint64_t sectors;
};

void growSplit(const std::string& path, std::unique_ptr<VMDKReader>& image, uint64_t capacity) {
  auto& split = static_cast<VMDKMultiFileReader&>(*image);
  const auto& extents = split.extentReaders();
  for (const auto& extent : extents) {
    if (dynamic_cast<const VMDKSingleFileReader*>(extent.get()) == nullptr) {
      throw FatalError("Unsupported image file " + path);
    }
  }
  ExtentList lines = split.extents();
  const VMDKReader& last = *extents.back();
  uint64_t lastGrowth =
      std::min(capacity - image->capacity(),
               kSplitExtentSectors - std::min(kSplitExtentSectors, last.capacity()));
  lines.back().size = last.capacity() + lastGrowth;

  std::string directory, fileName;
  splitPath(path, directory, fileName);
  SplitExtents naming(fileName, capacity);
  std::vector<NewExtent> added;
  for (uint64_t left = capacity - image->capacity() - lastGrowth; left > 0;) {
    ExtentDescriptor line;
    line.size = std::min(left, kSplitExtentSectors);
    line.fileName = naming.name(lines.size());
    NewExtent extent{resolveAgainst(directory, line.fileName), line.size};
    platform::FileIdentity taken;
    if (platform::identityOfPath(extent.path, &taken)) {
      throw FatalError("Failed to create file " + extent.path);
    }
    added.push_back(extent);
    lines.push_back(line);
    left -= line.size;
  }
  std::string text =
      composeRewrite(path, *image, image->descriptor(), computeLayout(capacity, 1), &lines);
  std::unique_ptr<VMDKReader> parents = openParentsOf(*image, path);

  uint64_t diskGrain = image->grainCount() - last.grainCount();
  if (lastGrowth != 0) {
    int fd = platform::openFile(last.path(), kReadWrite);
    if (fd < 0) throw FatalError("Failed to open " + last.path());
    try {
      growExtent(fd, last.path(), last.capacity() + lastGrowth, parents.get(), diskGrain);
    } catch (const FatalError&) {
      platform::closeFile(fd);
      throw;
    }
    platform::closeFile(fd);
  }
  diskGrain += (last.capacity() + lastGrowth) / kGrainSectors;
  for (const NewExtent& extent : added) {
    int fd = createSparseExtent(extent.path, computeLayout(extent.sectors, 0), nullptr, 0);
    bool synced = true;
    try {
      SparseExtentEditor editor(fd, extent.path);
      hideParents(editor, parents.get(), diskGrain, 0, extent.sectors / kGrainSectors);
      synced = platform::syncFile(fd);
    } catch (const FatalError&) {
      platform::closeFile(fd);
      throw;
    }
    if (!platform::closeFile(fd) || !synced) {
      throw FatalError("Failed to write file " + extent.path);
    }
    diskGrain += extent.sectors / kGrainSectors;
  }
  writeRewrite(path, image, text);
}

}  // namespace

int32_t CommandGrow::execute(int32_t argc, char** argv) {
  if (argc < 2 || options->sizeBytes == 0) printUsage();
  const std::string path = argv[1];
  std::unique_ptr<VMDKReader> image = openImage(path, kReadWrite);
  uint64_t capacity = options->sizeBytes / kSectorBytes;
  if (capacity <= image->capacity()) throw FatalError("Size is not larger than the disk " + path);
  if (capacity > kMaxCapacitySectors) {
    throw FatalError("Disk is too large for a single file " + path);
  }
  refuseStream(*image, path);
  // The tail of a last grain cut by the capacity would come into view.
  if (image->capacity() % kGrainSectors != 0) throw FatalError("Unsupported image file " + path);
  if (image->isMultiFile()) {
    growSplit(path, image, capacity);
  } else {
    growSingleFile(path, image, capacity);
  }
  return 0;
}

}  // namespace skarvel
