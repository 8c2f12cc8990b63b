#include "commands/command_copy.h"

#include <iostream>
#include <vector>

#include "base/fatal_error.h"
#include "base/paths.h"
#include "commands/output_choice.h"
#include "platform/file.h"
#include "reader/chain_reader.h"
#include "reader/open_image.h"

namespace skarvel {

namespace {

// The progress text before grain |index| of |total|: "i/N, p%" and a carriage
// return, so that each overwrites the last on a terminal. The stream is
// flushed when the percentage moves, not for every grain of a large image.
class Progress {
 public:
  explicit Progress(uint64_t total) : total_(total) {}

  void show(uint64_t index) {
    uint64_t done = index + 1;
    uint64_t percent = done * 100 / total_;
    std::cout << done << '/' << total_ << ", " << percent << "%\r";
    if (percent != lastPercent_) {
      std::cout << std::flush;
      lastPercent_ = percent;
    }
  }

 private:
  uint64_t total_;
  uint64_t lastPercent_ = ~uint64_t{0};
};

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

}  // namespace

int32_t CommandCopy::execute(int32_t argc, char** argv) {
  if (argc < 3) printUsage();
  std::unique_ptr<VMDKReader> reader =
      openImage(argv[1], platform::kOpenBinary | platform::kOpenReadOnly);
  DiskDescriptor descriptor = reader->descriptor();
  // The parent the output's hint names, for messages; an input that names no
  // parent may still carry a hint, shown as stored.
  std::string parentPath = descriptor.parentFileNameHint;
  if (std::unique_ptr<VMDKChainReader> chain = openChain(reader, argv[1])) {
    chain->setLevels(options->chainLevels);
    descriptor = chain->descriptor();
    parentPath = keepParentReachable(descriptor, *chain, options->chainLevels, argv[2]);
    reader = std::move(chain);
  }
  descriptor.renewCID();
  bool split = wantsSplitOutput(*reader, *options);
  OutputImage output(
      argv[2], descriptor.hasParent() ? layoutRecordingParent(*reader, split) : reader->layout(),
      descriptor);
  refuseUnquotableNames(output, parentPath);
  refuseOverwritingInput(output, split, *reader);
  std::unique_ptr<VMDKWriter> writer = createOutput(output, split, !descriptor.hasParent());

  std::vector<uint8_t> buffer(reader->grainBytes());
  uint64_t total = reader->totalGrains();
  std::cout << "Copying " << total << " Grains ...\n" << std::flush;
  Progress progress(total);
  for (uint64_t i = 0; i < total; ++i) {
    progress.show(i);
    uint32_t n = reader->readGrain(i, buffer.data(), reader->grainBytes());
    if (n != 0) writer->writeGrain(i, buffer.data(), n);
  }
  std::cout << '\n' << std::flush;
  writer->close();
  return 0;
}

}  // namespace skarvel
