#include "commands/command_grow.h"

#include <algorithm>
#include <vector>

#include "base/fatal_error.h"
#include "base/paths.h"
#include "commands/descriptor_rewrite.h"
#include "format/sparse_extent_file.h"
#include "platform/file.h"
#include "reader/chain_reader.h"
#include "reader/image_check.h"
#include "reader/multi_file_reader.h"
#include "reader/open_image.h"
#include "reader/single_file_reader.h"
#include "writer/sparse_extent_editor.h"
#include "writer/split_extents.h"

namespace skarvel {

namespace {

// The image and its extents are locked for writing, its parents for
// reading; extents are written through the descriptors they were read by.
constexpr int kReadOnly = platform::kOpenBinary | platform::kOpenReadOnly;
constexpr int kReadLocked = kReadOnly | platform::kOpenLockRead;
constexpr int kWriteLocked =
    platform::kOpenBinary | platform::kOpenReadWrite | platform::kOpenLockWrite;

// The chain below |image| as one reader, or null when it names no parent:
// what the new part of a grown child would show where the child holds
// nothing.
std::unique_ptr<VMDKReader> openParentsOf(const VMDKReader& image, const std::string& path) {
  if (!image.descriptor().hasParent()) return nullptr;
  std::string directory, fileName;
  splitPath(path, directory, fileName);
  std::string parentPath = resolveAgainst(directory, image.descriptor().parentFileNameHint);
  // A chain that loops back to the image is told apart from a lock held by
  // another program before the chain is locked: locked, the image's own
  // lock would refuse it.
  openWithParents(parentPath, kReadOnly, kReadOnly);
  return openWithParents(parentPath, kReadLocked, kReadLocked);
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

// How the extents of a descriptor file grow: sparse extent files, or plain
// files holding their extent from the line's offset on.
struct ExtentKind {
  bool flat;
  uint64_t limit;     // sectors an extent may reach
  OutputKind naming;  // of new extent files
};

// The kind of |image|'s extents, all of one kind; refuses mixtures, ZERO
// extents and stream extents.
ExtentKind extentKindOf(const VMDKMultiFileReader& image, const std::string& path) {
  const ExtentList& lines = image.extents();
  auto all = [&](const std::string& type) {
    return std::all_of(lines.begin(), lines.end(), [&](const auto& e) { return e.type == type; });
  };
  if (all("SPARSE")) {
    for (const auto& extent : image.extentReaders()) refuseStream(*extent, path);
    return {false, kSplitExtentSectors, OutputKind::kSplitSparse};
  }
  if (!all(kFlatExtentType)) throw FatalError("Unsupported image file " + path);
  // One flat extent of a monolithicFlat disk grows without bound.
  bool single = lines.size() == 1 && image.descriptor().createType == "monolithicFlat";
  return {true, single ? kMaxCapacitySectors : kSplitExtentSectors, OutputKind::kSplitFlat};
}

// Makes the last flat extent, |sectors| long today, reach |capacity|
// sectors: its file grows, the new part reading as zeros. A file that holds
// more than the extent (another extent, other data) is refused: that data
// would come into view.
void growFlatExtent(const VMDKReader& extent, const ExtentDescriptor& line, uint64_t capacity,
                    const std::string& path) {
  uint64_t fileBytes = 0;
  if (!platform::readableLength(extent.fileHandle(), &fileBytes) ||
      fileBytes > (line.offset + line.size) * kSectorBytes) {
    throw FatalError("Unsupported image file " + path);
  }
  int fd = extent.fileHandle();
  if (!platform::setFileSize(fd, (line.offset + capacity) * kSectorBytes) ||
      !platform::syncFile(fd)) {
    throw FatalError("Failed to write file " + extent.path());
  }
}

// Lays down a new extent file of |sectors| sectors at |path|, grains from
// |diskGrain| on of the disk: a sparse extent that hides what |parents|
// hold, or a plain file of zeros.
void createExtent(const std::string& path, uint64_t sectors, bool flat, VMDKReader* parents,
                  uint64_t diskGrain) {
  int fd = flat ? platform::openFile(
                      path, kWriteLocked | platform::kOpenCreate | platform::kOpenExclusive)
                : createSparseExtent(path, computeLayout(sectors, 0), nullptr, 0);
  if (fd < 0) throw FatalError("Failed to create file " + path);
  bool written = false;
  try {
    if (flat) {
      written = platform::setFileSize(fd, sectors * kSectorBytes);
    } else {
      SparseExtentEditor editor(fd, path);
      hideParents(editor, parents, diskGrain, 0, sectors / kGrainSectors);
      written = true;
    }
    written = written && platform::syncFile(fd);
  } catch (const FatalError&) {
    platform::closeFile(fd);
    throw;
  }
  if (!platform::closeFile(fd) || !written) throw FatalError("Failed to write file " + path);
}

// Grows a descriptor file's image: its last extent up to the kind's limit,
// then new extents; the descriptor file, which makes them part of the disk,
// is replaced last.
void growDescriptorFile(const std::string& path, std::unique_ptr<VMDKReader>& image,
                        uint64_t capacity) {
  auto& split = static_cast<VMDKMultiFileReader&>(*image);
  const ExtentKind kind = extentKindOf(split, path);
  const VMDKReader& last = *split.extentReaders().back();
  ExtentList lines = split.extents();
  const ExtentDescriptor lastLine = lines.back();
  uint64_t lastGrowth =
      std::min(capacity - image->capacity(), kind.limit - std::min(kind.limit, last.capacity()));
  const uint64_t lastSize = last.capacity() + lastGrowth;
  lines.back().size = lastSize;

  std::string directory, fileName;
  splitPath(path, directory, fileName);
  SplitExtents naming(fileName, capacity, kind.naming);
  std::vector<std::pair<std::string, uint64_t>> added;  // path, sectors
  for (uint64_t left = capacity - image->capacity() - lastGrowth; left > 0;) {
    ExtentDescriptor line = lastLine;
    line.size = std::min(left, kind.limit);
    line.fileName = naming.name(lines.size());
    line.offset = 0;
    std::string extentPath = resolveAgainst(directory, line.fileName);
    platform::FileIdentity taken;
    if (platform::identityOfPath(extentPath, &taken)) {
      throw FatalError("Failed to create file " + extentPath);
    }
    added.emplace_back(extentPath, line.size);
    lines.push_back(line);
    left -= line.size;
  }
  std::string text =
      composeRewrite(path, *image, image->descriptor(), computeLayout(capacity, 1), &lines);
  std::unique_ptr<VMDKReader> parents = openParentsOf(*image, path);

  uint64_t diskGrain = image->grainCount() - last.grainCount();
  if (lastGrowth != 0 && kind.flat) {
    growFlatExtent(last, lastLine, lastSize, path);
  } else if (lastGrowth != 0) {
    growExtent(last.fileHandle(), last.path(), lastSize, parents.get(), diskGrain);
  }
  diskGrain += lastSize / kGrainSectors;
  for (const auto& [extentPath, sectors] : added) {
    createExtent(extentPath, sectors, kind.flat, parents.get(), diskGrain);
    diskGrain += sectors / kGrainSectors;
  }
  writeRewrite(path, image, text);
}

}  // namespace

int32_t CommandGrow::execute(int32_t argc, char** argv) {
  if (argc < 2 || options->sizeBytes == 0) printUsage();
  const std::string path = argv[1];
  std::unique_ptr<VMDKReader> image = openImage(path, kWriteLocked, kWriteLocked);
  uint64_t capacity = options->sizeBytes / kSectorBytes;
  if (capacity <= image->capacity()) throw FatalError("Size is not larger than the disk " + path);
  if (capacity > kMaxCapacitySectors) throw FatalError("Size is larger than any disk " + path);
  refuseStream(*image, path);
  refuseDamagedImage(*image, path);
  // The tail of a last grain cut by the capacity would come into view.
  if (image->capacity() % kGrainSectors != 0) throw FatalError("Unsupported image file " + path);
  if (image->isMultiFile()) {
    growDescriptorFile(path, image, capacity);
  } else {
    growSingleFile(path, image, capacity);
  }
  return 0;
}

}  // namespace skarvel
