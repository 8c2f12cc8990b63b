#include "commands/command_create.h"

#include "base/fatal_error.h"
#include "commands/output_choice.h"
#include "writer/output_image.h"

namespace skarvel {

namespace {
constexpr uint64_t kMinimumDiskBytes = 8 * 1024 * 1024;
}  // namespace

int32_t CommandCreate::execute(int32_t argc, char** argv) {
  // A raw disk is no image: create makes images only.
  if (argc < 2 || options->sizeBytes == 0 || options->rawInput ||
      options->outputKind == OutputKind::kRaw || options->outputKind == OutputKind::kVhd) {
    printUsage();
  }
  OutputImage output(argv[1], layoutFromBytes(options->sizeBytes, 1), freshDescriptor(*options));
  refuseUnquotableNames(output, std::string());
  if (options->sizeBytes < kMinimumDiskBytes) {
    throw FatalError("Disk size must be greater than 8M");
  }
  // -p splits only a disk that one extent cannot hold; a kind named with -t
  // is made as named, a descriptor and one extent for a small disk.
  bool split = options->split && output.layout.capacitySectors() > kSplitExtentSectors;
  OutputKind kind = options->outputKind.value_or(sparseKind(split));
  refuseOutputsInUse(output, kind);
  output.create(kind, true)->close();
  return 0;
}

}  // namespace skarvel
