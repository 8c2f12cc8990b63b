// The "compare" command: whether two inputs read the same, byte for byte.
#ifndef SKARVEL_COMMANDS_COMMAND_COMPARE_H_
#define SKARVEL_COMMANDS_COMMAND_COMPARE_H_

#include "commands/command_processor.h"

namespace skarvel {

// Reads both inputs (images through their whole chains, or raw disks with
// -f and -F) grain by grain and prints "Identical", or the byte offset of
// the first difference. Inputs of different sizes are identical when the
// longer one reads as zeros past the shorter one's end; a line saying the
// sizes differ comes first. Returns 0 when identical, 2 when not; an input
// that cannot be read throws its reader's FatalError.
class CommandCompare : public CommandProcessor {
 public:
  using CommandProcessor::CommandProcessor;
  int32_t execute(int32_t argc, char** argv) override;
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_COMMAND_COMPARE_H_
