#include "commands/output_choice.h"

#include <algorithm>

#include "base/fatal_error.h"
#include "platform/file.h"

namespace skarvel {

DiskDescriptor freshDescriptor(const CommandOptions& options) {
  DiskDescriptor descriptor(options.hardwareVersion, options.adapterType);
  descriptor.ddbSettings = options.ddbSettings;
  return descriptor;
}

void refuseEmptyInput(const VMDKReader& input) {
  if (input.capacity() == 0) throw FatalError("Unsupported image file " + input.path());
}

bool wantsSplitOutput(const VMDKReader& input, const CommandOptions& options) {
  if (options.outputKind) return *options.outputKind == OutputKind::kSplitSparse;
  return (input.isMultiFile() && !options.merge) || options.split;
}

OutputKind chooseOutputKind(const VMDKReader& input, const CommandOptions& options) {
  if (options.outputKind) return *options.outputKind;
  return sparseKind(wantsSplitOutput(input, options));
}

OutputKind sparseKind(bool split) {
  return split ? OutputKind::kSplitSparse : OutputKind::kMonolithicSparse;
}

SparseLayout outputLayout(const VMDKReader& input, bool split, uint64_t capacity) {
  bool embedded = !split || input.layout().descriptorSectors != 0;
  return computeLayout(capacity != 0 ? capacity : input.capacity(), embedded ? 1 : 0);
}

uint64_t requestedCapacity(const VMDKReader& input, const CommandOptions& options) {
  if (options.sizeBytes == 0) return input.capacity();
  uint64_t capacity = options.sizeBytes / kSectorBytes;
  if (capacity <= input.capacity()) {
    throw FatalError("Size is not larger than the disk " + input.path());
  }
  return capacity;
}

void refuseUnquotableNames(const OutputImage& output, const std::string& parentPath) {
  if (!quotesCleanly(output.fileName)) throw FatalError("Unsupported file name " + output.path);
  if (!quotesCleanly(output.descriptor.parentFileNameHint)) {
    throw FatalError("Unsupported file name " + parentPath);
  }
}

void refuseOverwritingInput(const OutputImage& output, OutputKind kind, const VMDKReader& input,
                            const std::vector<std::unique_ptr<VMDKReader>>& parents) {
  std::vector<int> fds;
  input.appendOpenFiles(fds);
  for (const auto& parent : parents) parent->appendOpenFiles(fds);
  std::vector<platform::FileIdentity> inputs;
  for (int fd : fds) {
    platform::FileIdentity identity;
    if (platform::identityOfDescriptor(fd, &identity)) inputs.push_back(identity);
  }
  output.forEachPathToCreate(kind, [&inputs](const std::string& path) {
    platform::FileIdentity identity;
    if (platform::identityOfPath(path, &identity) &&
        std::find(inputs.begin(), inputs.end(), identity) != inputs.end()) {
      throw FatalError("Output would overwrite input file " + path);
    }
  });
}

void refuseOutputsInUse(const OutputImage& output, OutputKind kind) {
  // Every file is tested before the first is truncated: a split output
  // whose last extent is in use must not lose its first ones.
  output.forEachPathToCreate(kind, [](const std::string& path) {
    int fd = platform::openFile(
        path, platform::kOpenBinary | platform::kOpenReadWrite | platform::kOpenLockWrite);
    if (fd == platform::kFileInUse) throw FatalError("File is in use " + path);
    if (fd >= 0) platform::closeFile(fd);
  });
}

}  // namespace skarvel
