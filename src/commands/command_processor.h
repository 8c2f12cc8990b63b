// The abstract command: one per command word.
#ifndef SKARVEL_COMMANDS_COMMAND_PROCESSOR_H_
#define SKARVEL_COMMANDS_COMMAND_PROCESSOR_H_

#include <cstdint>

#include "commands/command_options.h"

namespace skarvel {

class CommandProcessor {
 public:
  // |options| is not owned and must outlive the command.
  explicit CommandProcessor(const CommandOptions* options) : options(options) {}
  virtual ~CommandProcessor() = default;

  // Runs the command on argv[1..argc-1], the positional arguments (argv[argc]
  // is null). Returns the exit status; failures throw FatalError.
  virtual int32_t execute(int32_t argc, char** argv) = 0;

 protected:
  const CommandOptions* const options;
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_COMMAND_PROCESSOR_H_
