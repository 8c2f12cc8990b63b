#include "commands/command_compact.h"

#include <functional>
#include <iostream>
#include <memory>
#include <vector>

#include "base/fatal_error.h"
#include "base/numbers.h"
#include "base/zeros.h"
#include "commands/copy_progress.h"
#include "commands/json_report.h"
#include "commands/parent_chain.h"
#include "platform/file.h"
#include "reader/flat_extent_reader.h"
#include "reader/image_check.h"
#include "reader/multi_file_reader.h"
#include "reader/open_image.h"
#include "reader/single_file_reader.h"
#include "writer/flat_extent_puncher.h"
#include "writer/sparse_extent_compactor.h"

namespace skarvel {

namespace {

// The image and its extents are locked for writing, its parents for reading
// (openParentsOf); extents are written through the descriptors they were
// read by.
constexpr int kWriteLocked =
    platform::kOpenBinary | platform::kOpenReadWrite | platform::kOpenLockWrite;

// One extent to compact, in disk order.
struct ExtentWork {
  const VMDKReader* reader;
  uint64_t firstGrain;                               // of the disk
  std::unique_ptr<SparseExtentCompactor> compactor;  // for a sparse extent
  uint64_t flatFirstByte = 0;                        // for a flat one: its bytes
  uint64_t flatBytes = 0;

  uint64_t steps() const {
    return compactor ? compactor->namedGrains() : divideRoundingUp(flatBytes, kGrainBytes);
  }
};

void refuseStream(const VMDKReader& extent, const std::string& path) {
  const auto* sparse = dynamic_cast<const VMDKSingleFileReader*>(&extent);
  if (sparse != nullptr && (sparse->header().flags & kHeaderFlagCompressedGrains) != 0) {
    throw FatalError("Cannot compact stream-optimized image " + path);
  }
}

void refuseStreams(VMDKReader& image, const std::string& path) {
  if (!image.isMultiFile()) return refuseStream(image, path);
  for (const auto& extent : static_cast<VMDKMultiFileReader&>(image).extentReaders()) {
    refuseStream(*extent, path);
  }
}

// The length of the file open as |fd| (at |path|).
uint64_t lengthOf(int fd, const std::string& path) {
  uint64_t length = 0;
  if (!platform::fileSizeOf(fd, &length)) throw FatalError("Failed to read file " + path);
  return length;
}

// The extents of |image| to compact: its one file, or the sparse and flat
// extents of its descriptor file (zero extents hold nothing).
std::vector<ExtentWork> planExtents(VMDKReader& image, const std::string& path) {
  std::vector<ExtentWork> work;
  if (!image.isMultiFile()) {
    work.push_back({&image, 0, std::make_unique<SparseExtentCompactor>(image.fileHandle(), path)});
    return work;
  }
  auto& split = static_cast<VMDKMultiFileReader&>(image);
  uint64_t firstGrain = 0;
  for (size_t k = 0; k < split.extentReaders().size(); ++k) {
    const VMDKReader& extent = *split.extentReaders()[k];
    const ExtentDescriptor& line = split.extents()[k];
    if (dynamic_cast<const VMDKSingleFileReader*>(&extent) != nullptr) {
      work.push_back({&extent, firstGrain,
                      std::make_unique<SparseExtentCompactor>(extent.fileHandle(), extent.path())});
    } else if (dynamic_cast<const VMDKFlatExtentReader*>(&extent) != nullptr) {
      work.push_back(
          {&extent, firstGrain, nullptr, line.offset * kSectorBytes, line.size * kSectorBytes});
    }
    firstGrain += extent.grainCount();
  }
  return work;
}

// Whether |parents| (null: none) read as zeros at grain |grain| of the disk.
bool readsZeros(VMDKReader* parents, uint64_t grain, std::vector<uint8_t>& buffer) {
  if (parents == nullptr) return true;
  uint32_t n = parents->readGrain(grain, buffer.data(), static_cast<uint32_t>(buffer.size()));
  if (n == 0 || n == kZeroedGrain) return true;
  return allZeros(buffer.data(), n);
}

// The result for programs, one line after the progress lines.
void reportResult(const CompactResult& result) {
  std::cout << Json{{"grains_removed", result.grainsRemoved},
                    {"grains_moved", result.grainsMoved},
                    {"bytes_before", result.bytesBefore},
                    {"bytes_after", result.bytesAfter}}
                   .dump()
            << '\n'
            << std::flush;
}

}  // namespace

int32_t CommandCompact::execute(int32_t argc, char** argv) {
  if (argc < 2) printUsage();
  const std::string path = argv[1];
  std::unique_ptr<VMDKReader> image = openImage(path, kWriteLocked, kWriteLocked);
  refuseStreams(*image, path);
  refuseDamagedImage(*image, path);
  std::vector<ExtentWork> work = planExtents(*image, path);
  std::unique_ptr<VMDKReader> parents = openParentsOf(*image, path);

  uint64_t total = 0;
  for (const ExtentWork& extent : work) total += extent.steps();
  if (!options->json) std::cout << "Compacting " << total << " Grains ...\n" << std::flush;
  CopyProgress progress(std::cout, total, options->json);
  auto step = [&progress] { progress.next(); };
  CompactResult result;
  std::vector<uint8_t> buffer(kGrainBytes);
  for (ExtentWork& extent : work) {
    if (!extent.compactor) {
      // A flat file keeps its length; its holes grow.
      uint64_t length = lengthOf(extent.reader->fileHandle(), extent.reader->path());
      result.bytesBefore += length;
      result.bytesAfter += length;
      result.grainsRemoved += punchZeroGrains(extent.reader->fileHandle(), extent.reader->path(),
                                              extent.flatFirstByte, extent.flatBytes, step);
      continue;
    }
    std::function<bool(uint64_t)> below;
    if (parents) {
      below = [&, first = extent.firstGrain](uint64_t grain) {
        return readsZeros(parents.get(), first + grain, buffer);
      };
    }
    extent.compactor->compact(below, step, result);
  }
  progress.finish();
  if (options->json) reportResult(result);
  return 0;
}

}  // namespace skarvel
