#include "commands/command_ova.h"

#include <chrono>
#include <iostream>

#include "base/fatal_error.h"
#include "commands/copy_progress.h"
#include "commands/descriptor_rewrite.h"
#include "commands/grain_copy.h"
#include "commands/json_report.h"
#include "commands/output_choice.h"
#include "platform/file.h"
#include "reader/chain_reader.h"
#include "reader/open_image.h"
#include "writer/ova_writer.h"

namespace skarvel {

namespace {

constexpr int kReadLocked =
    platform::kOpenBinary | platform::kOpenReadOnly | platform::kOpenLockRead;

// The input with its whole chain folded in, and its descriptor.
std::unique_ptr<VMDKReader> openInput(const CommandOptions& options, const std::string& path,
                                      DiskDescriptor& descriptor) {
  std::unique_ptr<VMDKReader> reader = options.rawInput
                                           ? openRawImage(path, kReadLocked, options.vhdInput)
                                           : openImage(path, kReadLocked);
  descriptor = reader->descriptor();
  if (std::unique_ptr<VMDKChainReader> chain = openChain(reader, path, kReadLocked)) {
    chain->setLevels(-1);
    descriptor = chain->descriptor();
    reader = std::move(chain);
  }
  refuseEmptyInput(*reader);
  return reader;
}

OvaSettings settingsFor(const CommandOptions& options, const DiskDescriptor& descriptor,
                        const std::string& outputPath) {
  OvaSettings settings;
  settings.machine.name =
      options.packageName.empty() ? packageNameOf(outputPath) : options.packageName;
  if (!isPackageName(settings.machine.name)) {
    throw FatalError("Unsupported file name " + outputPath);
  }
  settings.machine.cpus = options.cpus;
  settings.machine.memoryMiB = options.memoryMiB;
  settings.machine.hardwareVersion = descriptor.virtualHWVersion;
  settings.machine.adapterType = descriptor.adapterType;
  settings.digest =
      options.manifestSha1 ? platform::DigestAlgorithm::kSha1 : platform::DigestAlgorithm::kSha256;
  settings.mtime = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                             std::chrono::system_clock::now().time_since_epoch())
                                             .count());
  return settings;
}

// The package is written beside its place and takes it only when complete:
// a run cut short leaves the old file, if any, as it was. The temporary file
// is removed unless kept.
class TemporaryPackage {
 public:
  explicit TemporaryPackage(const std::string& outputPath)
      : target_(platform::resolvedPath(outputPath)) {
    fd_ = createTemporaryBeside(target_, path_);
    if (fd_ < 0) throw FatalError("Failed to create file " + outputPath);
  }
  ~TemporaryPackage() {
    if (!path_.empty()) platform::removeFile(path_);
  }

  // The open file, for the writer to own.
  int takeFile() { return fd_; }

  // Puts the complete package (its file closed) in place of the output.
  void keep(const std::string& outputPath) {
    if (!platform::replaceFile(path_, target_))
      throw FatalError("Failed to write file " + outputPath);
    path_.clear();
  }

 private:
  std::string target_, path_;
  int fd_ = -1;
};

}  // namespace

int32_t CommandOva::execute(int32_t argc, char** argv) {
  // The package's disk names no parent: the whole chain is folded in.
  if (argc < 3 || options->chainLevels != -1) printUsage();
  DiskDescriptor descriptor;
  std::unique_ptr<VMDKReader> reader = openInput(*options, argv[1], descriptor);
  descriptor.renewCID();
  descriptor.ddbSettings = options->ddbSettings;
  OvaSettings settings = settingsFor(*options, descriptor, argv[2]);
  OutputImage output(argv[2], outputLayout(*reader, false), descriptor);
  if (output.toStandardOutput()) throw FatalError("Cannot write ova to standard output");
  refuseOverwritingInput(output, OutputKind::kStreamOptimized, *reader);
  refuseOutputsInUse(output, OutputKind::kStreamOptimized);
  std::string text = output.streamDescriptorText(settings.machine.name + kOvaDiskSuffix, true);

  TemporaryPackage package(output.path);
  VMDKOvaWriter writer(package.takeFile(), output.path, output.layout, text, settings);
  uint64_t total = reader->totalGrains();
  if (!options->json) std::cout << "Copying " << total << " Grains ...\n" << std::flush;
  CopyProgress progress(std::cout, total, options->json);
  uint64_t stored = copyGrains(*reader, writer, total, false, progress);
  writer.close();
  package.keep(output.path);
  if (options->json) {
    std::cout << Json{{"outputs", Json::array({jsonName(output.path)})},
                      {"grains_stored", stored},
                      {"bytes_written", writer.packageBytes()}}
                     .dump()
              << '\n'
              << std::flush;
  }
  return 0;
}

}  // namespace skarvel
