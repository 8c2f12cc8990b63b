// The "copy" command: copies an image grain by grain into a new image,
// folding all or some levels of its parent chain in, with a progress report.
#ifndef SKARVEL_COMMANDS_COMMAND_COPY_H_
#define SKARVEL_COMMANDS_COMMAND_COPY_H_

#include "commands/command_processor.h"

namespace skarvel {

class CommandCopy : public CommandProcessor {
 public:
  using CommandProcessor::CommandProcessor;
  int32_t execute(int32_t argc, char** argv) override;
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_COMMAND_COPY_H_
