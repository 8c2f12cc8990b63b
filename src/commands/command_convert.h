// The "convert" command: rewrites the hardware version and adapter type in
// the descriptor of a root image, in place.
#ifndef SKARVEL_COMMANDS_COMMAND_CONVERT_H_
#define SKARVEL_COMMANDS_COMMAND_CONVERT_H_

#include "commands/command_processor.h"

namespace skarvel {

class CommandConvert : public CommandProcessor {
 public:
  using CommandProcessor::CommandProcessor;
  int32_t execute(int32_t argc, char** argv) override;
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_COMMAND_CONVERT_H_
