// The "ova" command: packs any input copy reads (an image with its whole
// chain folded in, or a raw disk) as an OVA package: the envelope of one
// virtual machine, a manifest and the disk, stream-optimized.
#ifndef SKARVEL_COMMANDS_COMMAND_OVA_H_
#define SKARVEL_COMMANDS_COMMAND_OVA_H_

#include "commands/command_processor.h"

namespace skarvel {

class CommandOva : public CommandProcessor {
 public:
  using CommandProcessor::CommandProcessor;
  int32_t execute(int32_t argc, char** argv) override;
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_COMMAND_OVA_H_
