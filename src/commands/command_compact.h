// The "compact" command: gives back, in place, the space of grains that
// hold only zeros and of space no table names.
#ifndef SKARVEL_COMMANDS_COMMAND_COMPACT_H_
#define SKARVEL_COMMANDS_COMMAND_COMPACT_H_

#include "commands/command_processor.h"

namespace skarvel {

class CommandCompact : public CommandProcessor {
 public:
  using CommandProcessor::CommandProcessor;
  // Compacts argv[1] in place: each sparse extent (one file, or those of a
  // descriptor file) as SparseExtentCompactor does, its files cut short; a
  // grain of zeros leaves the tables where the chain below reads zeros too
  // (always without a parent), else becomes a zeroed grain where the header
  // allows them, else stays. In each FLAT extent the grains of zeros become
  // holes (punchZeroGrains). The CID stays. Shows copy's progress over the
  // grains the tables name and the grains of the flat extents (with -j,
  // JSON lines and then a result object) on standard output.
  // Throws FatalError with
  //   "Cannot compact stream-optimized image " + path  for compressed
  //       grains;
  //   "Damaged image file " + path  when its own files hold a problem check
  //       would report (see refuseDamagedImage);
  // and the failures of opening the image and its parents and of writing.
  // A run that stops leaves an image that reads as before and a rerun
  // finishes.
  int32_t execute(int32_t argc, char** argv) override;
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_COMMAND_COMPACT_H_
