#include "commands/command_grow.h"

#include <algorithm>
#include <vector>

#include "base/fatal_error.h"
#include "base/paths.h"
#include "commands/descriptor_rewrite.h"
#include "commands/json_report.h"
#include "commands/parent_chain.h"
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
// reading (openParentsOf); extents are written through the descriptors they
// were read by.
constexpr int kWriteLocked =
    platform::kOpenBinary | platform::kOpenReadWrite | platform::kOpenLockWrite;

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
  // Some readers take the size from the header, others from the embedded
  // extent line: both change in the header's write. An area that does not
  // follow the header goes first.
  std::vector<uint8_t> area;
  if (embedded) area = areaAfterHeader(*image, text);
  if (embedded && area.empty()) writeRewrite(path, image, text);
  editor.commitHeader(area);
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

// True when the bytes of the file open as |fd| from |from| up to |to| all
// read as zeros.
bool readsAsZeros(int fd, uint64_t from, uint64_t to, const std::string& path) {
  constexpr uint64_t kChunkBytes = 1 << 20;
  std::vector<uint8_t> chunk(kChunkBytes);
  for (uint64_t at = from; at < to; at += kChunkBytes) {
    uint32_t n = static_cast<uint32_t>(std::min(kChunkBytes, to - at));
    if (platform::readFileAt(fd, at, chunk.data(), n) != n) {
      throw FatalError("Failed to read file " + path);
    }
    if (std::any_of(chunk.begin(), chunk.begin() + n, [](uint8_t b) { return b != 0; })) {
      return false;
    }
  }
  return true;
}

// Makes the last flat extent |extent| (its line |line|), |fileBytes| long,
// reach |capacity| sectors: its file grows, the new part reading as zeros.
// A file that holds more than the extent is refused unless all of that
// reads as zeros (what an interrupted grow leaves): other data (another
// extent) would come into view.
void growFlatExtent(const VMDKReader& extent, const ExtentDescriptor& line, uint64_t fileBytes,
                    uint64_t capacity, const std::string& path) {
  int fd = extent.fileHandle();
  uint64_t lineEnd = (line.offset + line.size) * kSectorBytes;
  if (fileBytes > lineEnd && !readsAsZeros(fd, lineEnd, fileBytes, extent.path())) {
    throw FatalError("Unsupported image file " + path);
  }
  if (!platform::setFileSize(fd, (line.offset + capacity) * kSectorBytes) ||
      !platform::syncFile(fd)) {
    throw FatalError("Failed to write file " + extent.path());
  }
}

// Lays down a new extent file of |sectors| sectors at |path|, grains from
// |diskGrain| on of the disk: a sparse extent that hides what |parents|
// hold, or a plain file of zeros. A file already there, which no descriptor
// line of the image names, is replaced.
void createExtent(const std::string& path, uint64_t sectors, bool flat, VMDKReader* parents,
                  uint64_t diskGrain) {
  int fd = flat ? platform::openFile(path,
                                     kWriteLocked | platform::kOpenCreate | platform::kOpenTruncate)
                : createSparseExtent(path, computeLayout(sectors, 0), nullptr, 0);
  if (fd == platform::kFileInUse) throw FatalError("File is in use " + path);
  if (fd < 0) throw FatalError("Failed to create file " + path);
  bool written = false;
  try {
    if (flat) {
      written = platform::setFileSize(fd, sectors * kSectorBytes);
    } else {
      SparseExtentEditor editor(fd, path);
      hideParents(editor, parents, diskGrain, 0, sectors / kGrainSectors);
      editor.markClean();
      written = true;
    }
    written = written && platform::syncFile(fd);
  } catch (const FatalError&) {
    platform::closeFile(fd);
    throw;
  }
  if (!platform::closeFile(fd) || !written) throw FatalError("Failed to write file " + path);
}

// Checks, before anything is written, that a new extent may take |path|:
// a file there (what an interrupted grow left, named by no line) is
// replaced, unless |image| or |parents| hold it open or it cannot be
// written. Throws FatalError("Failed to create file " + path) or
// FatalError("File is in use " + path).
void checkNewExtentPath(const std::string& path, const VMDKReader& image,
                        const VMDKReader* parents) {
  platform::FileIdentity taken;
  if (!platform::identityOfPath(path, &taken)) return;
  std::vector<int> fds;
  image.appendOpenFiles(fds);
  if (parents != nullptr) parents->appendOpenFiles(fds);
  for (int fd : fds) {
    platform::FileIdentity identity;
    if (platform::identityOfDescriptor(fd, &identity) && identity == taken) {
      throw FatalError("Failed to create file " + path);
    }
  }
  int fd = platform::openFile(path, kWriteLocked);
  if (fd == platform::kFileInUse) throw FatalError("File is in use " + path);
  if (fd < 0) throw FatalError("Failed to create file " + path);
  platform::closeFile(fd);
}

// New extent files: path and sectors.
using NewExtents = std::vector<std::pair<std::string, uint64_t>>;

// Appends to |lines| (those of the image |image| at |path|, |capacity|
// sectors when grown) lines for |sectors| more sectors, modelled on the last
// and named as a split output names its extents; returns their files,
// checked by checkNewExtentPath.
NewExtents appendExtentLines(ExtentList& lines, uint64_t sectors, const ExtentKind& kind,
                             const std::string& path, uint64_t capacity, const VMDKReader& image,
                             const VMDKReader* parents) {
  std::string directory, fileName;
  splitPath(path, directory, fileName);
  SplitExtents naming(fileName, capacity, kind.naming);
  NewExtents added;
  for (uint64_t left = sectors; left > 0;) {
    ExtentDescriptor line = lines.back();
    line.size = std::min(left, kind.limit);
    line.fileName = naming.name(lines.size());
    line.offset = 0;
    std::string extentPath = resolveAgainst(directory, line.fileName);
    checkNewExtentPath(extentPath, image, parents);
    added.emplace_back(extentPath, line.size);
    lines.push_back(line);
    left -= line.size;
  }
  return added;
}

// Undoes what a failed grow of a descriptor file's image wrote before its
// descriptor was replaced: the last flat file at |lastPath| goes back to
// |lastBytes| bytes (when it grew), the new extent files |created| go.
// Failures are ignored: what stays is named by no line, and a rerun copes
// with it.
void undoGrowth(const std::string& lastPath, uint64_t lastBytes, bool lastGrew,
                const std::vector<std::string>& created) {
  for (const std::string& path : created) platform::removeFile(path);
  if (!lastGrew) return;
  int fd = platform::openFile(lastPath, kWriteLocked);
  if (fd < 0) return;
  if (platform::setFileSize(fd, lastBytes)) platform::syncFile(fd);
  platform::closeFile(fd);
}

// Grows a descriptor file's image. Readers take a sparse extent's size,
// some from its header, others from its extent line, and no one write
// changes both: a sparse extent keeps its size, and the image grows by new
// extents. A flat extent's size is its line's alone, so the last flat file
// grows in place up to the kind's limit, then new files follow. The
// descriptor file, which makes all of it part of the disk, is replaced in
// one step last; a failure before that undoes what was written.
void growDescriptorFile(const std::string& path, std::unique_ptr<VMDKReader>& image,
                        uint64_t capacity) {
  auto& split = static_cast<VMDKMultiFileReader&>(*image);
  const ExtentKind kind = extentKindOf(split, path);
  const VMDKReader& last = *split.extentReaders().back();
  ExtentList lines = split.extents();
  const ExtentDescriptor lastLine = lines.back();
  uint64_t lastGrowth = kind.flat ? std::min(capacity - image->capacity(),
                                             kind.limit - std::min(kind.limit, last.capacity()))
                                  : 0;
  const uint64_t lastSize = last.capacity() + lastGrowth;
  lines.back().size = lastSize;
  uint64_t lastBytes = 0;
  if (kind.flat && !platform::readableLength(last.fileHandle(), &lastBytes)) {
    throw FatalError("Unsupported image file " + path);
  }
  std::unique_ptr<VMDKReader> parents = openParentsOf(*image, path);

  const NewExtents added = appendExtentLines(lines, capacity - image->capacity() - lastGrowth, kind,
                                             path, capacity, *image, parents.get());
  std::string text =
      composeRewrite(path, *image, image->descriptor(), computeLayout(capacity, 1), &lines);

  const std::string lastPath = last.path();
  std::vector<std::string> created;
  try {
    if (lastGrowth != 0) growFlatExtent(last, lastLine, lastBytes, lastSize, path);
    uint64_t diskGrain = image->grainCount() + lastGrowth / kGrainSectors;
    for (const auto& [extentPath, sectors] : added) {
      created.push_back(extentPath);
      createExtent(extentPath, sectors, kind.flat, parents.get(), diskGrain);
      diskGrain += sectors / kGrainSectors;
    }
    writeRewrite(path, image, text);
  } catch (const FatalError&) {
    image.reset();
    undoGrowth(lastPath, lastBytes, lastGrowth != 0, created);
    throw;
  }
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
  const uint64_t previous = image->capacity();
  if (image->isMultiFile()) {
    growDescriptorFile(path, image, capacity);
  } else {
    growSingleFile(path, image, capacity);
  }
  if (options->json) {
    printJson({{"file", jsonName(path)},
               {"previous_capacity_sectors", previous},
               {"capacity_sectors", capacity},
               {"capacity_bytes", capacity * kSectorBytes}});
  }
  return 0;
}

}  // namespace skarvel
