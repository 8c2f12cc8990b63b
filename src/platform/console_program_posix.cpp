// POSIX start-up: main's arguments as they are, and a write past the file
// size limit (ulimit -f) reported as a failed write instead of ending the
// process without a word.
#include <csignal>

#include "platform/console_program.h"

namespace skarvel::platform {

ConsoleProgram::ConsoleProgram(int argc, char** argv) : arguments_(argv, argv + argc) {
  // With SIGXFSZ ignored, such a write fails with EFBIG and the command
  // names the file it could not write.
  std::signal(SIGXFSZ, SIG_IGN);
  for (std::string& argument : arguments_) pointers_.push_back(argument.data());
  pointers_.push_back(nullptr);
}

ConsoleProgram::~ConsoleProgram() = default;

}  // namespace skarvel::platform
