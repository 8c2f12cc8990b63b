// POSIX start-up: main's arguments as they are.
#include "platform/console_program.h"

namespace skarvel::platform {

ConsoleProgram::ConsoleProgram(int argc, char** argv) : arguments_(argv, argv + argc) {
  for (std::string& argument : arguments_) pointers_.push_back(argument.data());
  pointers_.push_back(nullptr);
}

ConsoleProgram::~ConsoleProgram() = default;

}  // namespace skarvel::platform
