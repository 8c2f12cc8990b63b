// The "check" command: reports every problem found in an image, one line
// each, then their count; with -R, first rewrites the damaged copies of grain
// tables that have an intact other copy, and reports what remains.
#ifndef SKARVEL_COMMANDS_COMMAND_CHECK_H_
#define SKARVEL_COMMANDS_COMMAND_CHECK_H_

#include "commands/command_processor.h"

namespace skarvel {

class CommandCheck : public CommandProcessor {
 public:
  using CommandProcessor::CommandProcessor;
  // Returns 0 when nothing is wrong (leaks alone are harmless), 2 when
  // problems were found. Throws FatalError("Cannot repair stream-optimized
  // image " + path) for -R on a stream, before anything is written, and
  // FatalError("Failed to write file " + path) when a repair cannot be
  // written.
  int32_t execute(int32_t argc, char** argv) override;
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_COMMAND_CHECK_H_
