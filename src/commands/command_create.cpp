#include "commands/command_create.h"

#include "base/fatal_error.h"
#include "commands/output_choice.h"
#include "writer/output_image.h"

namespace skarvel {

namespace {
constexpr uint64_t kMinimumDiskBytes = 8 * 1024 * 1024;
}  // namespace

int32_t CommandCreate::execute(int32_t argc, char** argv) {
  if (argc < 2 || options->sizeBytes == 0) printUsage();
  OutputImage output(argv[1], layoutFromBytes(options->sizeBytes, 1), freshDescriptor(*options));
  refuseUnquotableNames(output, std::string());
  if (options->sizeBytes < kMinimumDiskBytes) {
    throw FatalError("Disk size must be greater than 8M");
  }
  // Disks that fit one extent are always one monolithic file.
  bool split = options->split && output.layout.capacitySectors() > kSplitExtentSectors;
  createOutput(output, split, true)->close();
  return 0;
}

}  // namespace skarvel
