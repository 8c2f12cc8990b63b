#include "commands/output_choice.h"

#include <algorithm>

#include "base/fatal_error.h"
#include "platform/file.h"

namespace skarvel {

DiskDescriptor freshDescriptor(const CommandOptions& options) {
  return DiskDescriptor(options.hardwareVersion, options.adapterType);
}

bool wantsSplitOutput(const VMDKReader& input, const CommandOptions& options) {
  return (input.isMultiFile() && !options.merge) || options.split;
}

SparseLayout outputLayout(const VMDKReader& input, bool split) {
  if (split || input.layout().descriptorSectors != 0) return input.layout();
  return computeLayout(input.capacity(), 1);
}

void refuseUnquotableNames(const OutputImage& output, const std::string& parentPath) {
  if (!quotesCleanly(output.fileName)) throw FatalError("Unsupported file name " + output.path);
  if (!quotesCleanly(output.descriptor.parentFileNameHint)) {
    throw FatalError("Unsupported file name " + parentPath);
  }
}

void refuseOverwritingInput(const OutputImage& output, bool split, const VMDKReader& input,
                            const std::vector<std::unique_ptr<VMDKReader>>& parents) {
  std::vector<int> fds;
  input.appendOpenFiles(fds);
  for (const auto& parent : parents) parent->appendOpenFiles(fds);
  std::vector<platform::FileIdentity> inputs;
  for (int fd : fds) {
    platform::FileIdentity identity;
    if (platform::identityOfDescriptor(fd, &identity)) inputs.push_back(identity);
  }
  output.forEachPathToCreate(split, [&inputs](const std::string& path) {
    platform::FileIdentity identity;
    if (platform::identityOfPath(path, &identity) &&
        std::find(inputs.begin(), inputs.end(), identity) != inputs.end()) {
      throw FatalError("Output would overwrite input file " + path);
    }
  });
}

std::unique_ptr<VMDKWriter> createOutput(OutputImage& output, bool split, bool includeDdb) {
  // Every file is tested before the first is truncated: a split output
  // whose last extent is in use must not lose its first ones.
  output.forEachPathToCreate(split, [](const std::string& path) {
    int fd = platform::openFile(
        path, platform::kOpenBinary | platform::kOpenReadWrite | platform::kOpenLockWrite);
    if (fd == platform::kFileInUse) throw FatalError("File is in use " + path);
    if (fd >= 0) platform::closeFile(fd);
  });
  return split ? output.createSplit(includeDdb) : output.createSingleFile(includeDdb);
}

}  // namespace skarvel
