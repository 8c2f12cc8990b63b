// The "copy" command: copies an image grain by grain into a new image,
// folding all or some levels of its parent chain in, with a progress report.
#ifndef SKARVEL_COMMANDS_COMMAND_COPY_H_
#define SKARVEL_COMMANDS_COMMAND_COPY_H_

#include <string>

#include "commands/command_processor.h"

namespace skarvel {

class CommandCopy : public CommandProcessor {
 public:
  using CommandProcessor::CommandProcessor;
  int32_t execute(int32_t argc, char** argv) override;

 private:
  // copy -f raw - |outputPath|: a raw disk read once from standard input,
  // its size learnt where it ends (in sectors, a partial last sector counted
  // whole), written as it comes into an output that records its size last.
  // Kinds that cannot be are refused before anything is read.
  int32_t copyUnknownSize(const std::string& outputPath);
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_COMMAND_COPY_H_
