// The "clone" command: makes a new, empty child image that names its input
// as parent.
#ifndef SKARVEL_COMMANDS_COMMAND_CLONE_H_
#define SKARVEL_COMMANDS_COMMAND_CLONE_H_

#include "commands/command_processor.h"

namespace skarvel {

class CommandClone : public CommandProcessor {
 public:
  using CommandProcessor::CommandProcessor;
  int32_t execute(int32_t argc, char** argv) override;
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_COMMAND_CLONE_H_
