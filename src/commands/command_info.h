// The "info" command: prints the descriptor fields, capacity and grain
// geometry of an image and, for a child, the files of its chain.
#ifndef SKARVEL_COMMANDS_COMMAND_INFO_H_
#define SKARVEL_COMMANDS_COMMAND_INFO_H_

#include "commands/command_processor.h"

namespace skarvel {

class CommandInfo : public CommandProcessor {
 public:
  using CommandProcessor::CommandProcessor;
  int32_t execute(int32_t argc, char** argv) override;
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_COMMAND_INFO_H_
