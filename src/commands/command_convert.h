// The "convert" command: rewrites the hardware version and adapter type in
// the descriptor of a root image, in place.
#ifndef SKARVEL_COMMANDS_COMMAND_CONVERT_H_
#define SKARVEL_COMMANDS_COMMAND_CONVERT_H_

#include "commands/command_processor.h"

namespace skarvel {

class CommandConvert : public CommandProcessor {
 public:
  using CommandProcessor::CommandProcessor;
  // Rewrites the descriptor of the root image argv[1] with the settings of
  // the "hwver=" and "adapter=" words; the extent line keeps the header's
  // capacity. An image whose own files hold a problem check would report is
  // refused with FatalError("Damaged image file " + path) before anything
  // is written.
  int32_t execute(int32_t argc, char** argv) override;
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_COMMAND_CONVERT_H_
