#include "commands/command_clone.h"

#include "base/fatal_error.h"
#include "base/paths.h"
#include "commands/output_choice.h"
#include "platform/file.h"
#include "reader/chain_reader.h"
#include "reader/open_image.h"

namespace skarvel {

namespace {
constexpr int kReadLocked =
    platform::kOpenBinary | platform::kOpenReadOnly | platform::kOpenLockRead;
}  // namespace

int32_t CommandClone::execute(int32_t argc, char** argv) {
  // A child is sparse: it shows its parent wherever it holds nothing.
  OutputKind kind = options->outputKind.value_or(OutputKind::kMonolithicSparse);
  if (argc < 3 || options->rawInput ||
      (kind != OutputKind::kMonolithicSparse && kind != OutputKind::kSplitSparse)) {
    printUsage();
  }
  std::unique_ptr<VMDKReader> reader = openImage(argv[1], kReadLocked);
  refuseEmptyInput(*reader);
  bool split = wantsSplitOutput(*reader, *options);
  SparseLayout layout = outputLayout(*reader, split);

  DiskDescriptor descriptor = reader->descriptor();
  descriptor.renewCID();
  descriptor.parentCID = reader->descriptor().CID;
  descriptor.parentFileNameHint = parentHintFor(argv[1], argv[2], platform::currentDirectory());
  descriptor.ddbSettings = options->ddbSettings;
  OutputImage output(argv[2], layout, descriptor);
  refuseUnquotableNames(output, argv[1]);
  // The child must not replace any file of the chain it is to stand on.
  refuseOverwritingInput(output, sparseKind(split), *reader,
                         openReachableParents(*reader, argv[1], kReadLocked));
  refuseOutputsInUse(output, sparseKind(split));
  output.create(sparseKind(split), false)->close();
  return 0;
}

}  // namespace skarvel
