#include "commands/command_copy.h"

#include <iostream>

#include "base/fatal_error.h"
#include "base/numbers.h"
#include "base/paths.h"
#include "commands/copy_progress.h"
#include "commands/grain_copy.h"
#include "commands/json_report.h"
#include "commands/output_choice.h"
#include "format/vhd/vhd_footer.h"
#include "platform/file.h"
#include "reader/chain_reader.h"
#include "reader/open_image.h"
#include "reader/ova/ova_package.h"
#include "reader/raw_pipe_reader.h"

namespace skarvel {

namespace {

constexpr int kReadLocked =
    platform::kOpenBinary | platform::kOpenReadOnly | platform::kOpenLockRead;

// Disk |number| of the package at |path|, read in place, once the package's
// structure is sound and the manifest's digests of its envelope and of that
// disk's member match: a disk damaged in transit is refused, not copied.
std::unique_ptr<VMDKReader> openPackageDisk(const std::string& path, int32_t number) {
  OvaPackage package(path, kReadLocked);
  package.refuseDamage();
  const ArchiveMember* disk = package.diskMember(static_cast<size_t>(number));
  if (disk == nullptr) throw FatalError("No disk " + std::to_string(number) + " in " + path);
  std::vector<std::string> verified = {disk->name};
  if (!package.members().empty()) verified.push_back(package.members().front().name);
  std::vector<std::string> mismatches = package.digestProblems(verified, nullptr);
  if (!mismatches.empty()) throw FatalError(mismatches.front());
  return package.openDisk(static_cast<size_t>(number), kReadLocked);
}

// The input: a plain disk with -f, a disk of a package (--disk chooses which),
// or an image. --disk names a disk of a package only.
std::unique_ptr<VMDKReader> openInput(const std::string& path, const CommandOptions& options) {
  if (path == "-" && options.diskNumber == 0) return openStandardInput(false, 0);
  bool package = !options.rawInput && isOvaPackage(path);
  if (options.diskNumber != 0 && !package) throw FatalError("Not an OVA package " + path);
  if (package) return openPackageDisk(path, std::max(options.diskNumber, 1));
  return options.rawInput ? openRawImage(path, kReadLocked, options.vhdInput)
                          : openImage(path, kReadLocked);
}

// A copy that keeps part of the chain names the first image it did not fold
// in, by the hint stored in the last image it did. That hint is relative to
// that image's directory; when it does not reach the parent from the
// output's directory, the output records a hint that does. Returns the path
// of the parent kept (empty when the output names none).
std::string keepParentReachable(DiskDescriptor& descriptor, const VMDKChainReader& chain,
                                int32_t levels, const std::string& outputPath) {
  if (!descriptor.hasParent()) return std::string();
  const VMDKReader& parent = *chain.readers().at(static_cast<size_t>(levels));
  std::string directory, fileName;
  splitPath(outputPath, directory, fileName);
  platform::FileIdentity wanted, found;
  if (platform::identityOfDescriptor(parent.fileHandle(), &wanted) &&
      platform::identityOfPath(resolveAgainst(directory, descriptor.parentFileNameHint), &found) &&
      wanted == found) {
    return parent.path();
  }
  descriptor.parentFileNameHint =
      parentHintFor(parent.path(), outputPath, platform::currentDirectory());
  return parent.path();
}

// The length of the file at |path|; 0 when it cannot be learnt.
uint64_t lengthOf(const std::string& path) {
  int fd = platform::openFile(path, platform::kOpenBinary | platform::kOpenReadOnly);
  uint64_t length = 0;
  if (fd >= 0) {
    if (!platform::fileSizeOf(fd, &length)) length = 0;
    platform::closeFile(fd);
  }
  return length;
}

// The result for programs: the files written, the grains stored and the
// length of those files (null for standard output, which has none to ask).
void reportResult(std::ostream& report, const OutputImage& output, OutputKind kind,
                  uint64_t stored) {
  Json outputs = Json::array();
  Json bytes = 0;
  if (output.toStandardOutput()) {
    outputs.push_back(jsonName(output.path));
    bytes = nullptr;
  } else {
    output.forEachPathToCreate(kind, [&](const std::string& path) {
      outputs.push_back(jsonName(path));
      bytes = bytes.get<uint64_t>() + lengthOf(path);
    });
  }
  report << Json{{"outputs", outputs}, {"grains_stored", stored}, {"bytes_written", bytes}}.dump()
         << '\n'
         << std::flush;
}

// The largest disk a single sparse or stream file of unknown size is begun
// for: 2047 GiB, whose grains and tables stay below sector 2^32.
constexpr uint64_t kLargestSingleFileSectors = uint64_t{2047} << 21;

// The most a raw disk of unknown size may hold for an output of |kind|.
uint64_t unknownSizeLimit(OutputKind kind) {
  return kind == OutputKind::kRaw ? kMaxCapacitySectors : kLargestSingleFileSectors;
}

}  // namespace

int32_t CommandCopy::copyUnknownSize(const std::string& outputPath) {
  // Standard input has no size to grow from, nor a format to name but raw.
  if (options->vhdInput || options->sizeBytes != 0) {
    throw FatalError("Cannot read from standard input");
  }
  // The kind is chosen as for a file (a raw disk is one file): the limit
  // depends on it.
  VMDKRawPipeReader probe(-1, "-", kLargestSingleFileSectors);
  OutputKind kind = chooseOutputKind(probe, *options);
  std::unique_ptr<VMDKReader> input = openStandardInput(true, unknownSizeLimit(kind));
  auto& reader = static_cast<VMDKRawPipeReader&>(*input);
  DiskDescriptor descriptor = reader.descriptor();
  descriptor.renewCID();
  descriptor.ddbSettings = options->ddbSettings;
  OutputImage output(outputPath, outputLayout(reader, false), descriptor);
  output.refuseUnknownSize(kind);
  if (!output.toStandardOutput()) {
    if (kind != OutputKind::kRaw) refuseUnquotableNames(output, std::string());
    refuseOverwritingInput(output, kind, reader);
    refuseOutputsInUse(output, kind);
  }
  // The first grain is read before anything is created: an empty input is
  // no disk.
  std::vector<uint8_t> buffer(reader.grainBytes());
  uint32_t n = reader.readGrain(0, buffer.data(), reader.grainBytes());
  refuseEmptyInput(reader);
  std::unique_ptr<VMDKWriter> writer = output.createOfUnknownSize(kind, true);
  uint64_t stored = 0;
  for (uint64_t i = 0; n != 0; n = reader.readGrain(++i, buffer.data(), reader.grainBytes())) {
    if (i >= output.layout.grainCount) throw FatalError("Disk is too large for " + outputPath);
    if (n == kZeroedGrain) continue;
    writer->writeGrain(i, buffer.data(), n);
    ++stored;
  }
  writer->settleCapacity(reader.capacity());
  writer->close();
  output.layout = writer->layout();
  std::ostream& report = output.toStandardOutput() ? std::cerr : std::cout;
  if (options->json) reportResult(report, output, kind, stored);
  return 0;
}

int32_t CommandCopy::execute(int32_t argc, char** argv) {
  // A flat or raw output holds every sector and so hides any parent: it
  // cannot keep part of a chain.
  if (argc < 3 || (options->outputKind && holdsEverySector(*options->outputKind) &&
                   options->chainLevels != -1)) {
    printUsage();
  }
  if (std::string(argv[1]) == "-" && options->rawInput) return copyUnknownSize(argv[2]);
  std::unique_ptr<VMDKReader> reader = openInput(argv[1], *options);
  DiskDescriptor descriptor = reader->descriptor();
  // The parent the output's hint names, for messages; an input that names no
  // parent may still carry a hint, shown as stored.
  std::string parentPath = descriptor.parentFileNameHint;
  if (std::unique_ptr<VMDKChainReader> chain = openChain(reader, argv[1], kReadLocked)) {
    chain->setLevels(options->chainLevels);
    descriptor = chain->descriptor();
    parentPath = keepParentReachable(descriptor, *chain, options->chainLevels, argv[2]);
    reader = std::move(chain);
  }
  refuseEmptyInput(*reader);
  if (options->salvage) reader->failOnMissingData();
  descriptor.renewCID();
  descriptor.ddbSettings = options->ddbSettings;
  OutputKind kind = chooseOutputKind(*reader, *options);
  // Past the input's end a larger copy (-s) reads as zeros, also over a
  // parent it keeps (the chain answers kZeroedGrain there). Platforms that
  // take fixed VHDs want sizes of whole MiB.
  uint64_t capacity = requestedCapacity(*reader, *options);
  if (kind == OutputKind::kVhd) {
    constexpr uint64_t kUnit = kVhdSizeUnitBytes / kSectorBytes;
    capacity = divideRoundingUp(capacity, kUnit) * kUnit;
  }
  OutputImage output(argv[2], outputLayout(*reader, kind == OutputKind::kSplitSparse, capacity),
                     descriptor);
  // Standard output is no file: nothing there to overwrite or lock.
  if (!output.toStandardOutput()) {
    // A raw or VHD output has no descriptor to record its name in.
    if (kind != OutputKind::kRaw && kind != OutputKind::kVhd) {
      refuseUnquotableNames(output, parentPath);
    }
    refuseOverwritingInput(output, kind, *reader);
    refuseOutputsInUse(output, kind);
  }
  std::unique_ptr<VMDKWriter> writer = output.create(kind, !descriptor.hasParent());

  uint64_t total = reader->totalGrains() + (output.layout.grainCount - reader->grainCount());
  // Progress goes beside a disk written to standard output, not into it.
  std::ostream& report = output.toStandardOutput() ? std::cerr : std::cout;
  if (!options->json) report << "Copying " << total << " Grains ...\n" << std::flush;
  CopyProgress progress(report, total, options->json);
  // With --salvage a grain that cannot be read becomes zeros, which hide a
  // parent the output keeps.
  LostGrains lost(argv[1], reader->capacity());
  uint64_t stored = copyGrains(*reader, *writer, total, descriptor.hasParent(), progress,
                               options->salvage ? &lost : nullptr);
  writer->close();
  if (options->json) reportResult(report, output, kind, stored);
  return lost.finish() ? 2 : 0;
}

}  // namespace skarvel
