// The "create" command: makes a new, empty image of a given size, as one
// monolithic file or as a split image.
#ifndef SKARVEL_COMMANDS_COMMAND_CREATE_H_
#define SKARVEL_COMMANDS_COMMAND_CREATE_H_

#include "commands/command_processor.h"

namespace skarvel {

class CommandCreate : public CommandProcessor {
 public:
  using CommandProcessor::CommandProcessor;
  int32_t execute(int32_t argc, char** argv) override;
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_COMMAND_CREATE_H_
