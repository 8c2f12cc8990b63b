// The one error type of the program.
//
// Code at any depth that cannot go on throws a FatalError carrying the exact
// line the user is to see; the entry point catches it once, prints it and
// ends the run with exit status 1. A usage error carries no line of its own:
// it stands for the whole usage text on standard output.
#ifndef SKARVEL_BASE_FATAL_ERROR_H_
#define SKARVEL_BASE_FATAL_ERROR_H_

#include <stdexcept>
#include <string>

namespace skarvel {

class FatalError : public std::runtime_error {
 public:
  // A failure whose message (without end of line) goes to standard error.
  explicit FatalError(const std::string& message) : std::runtime_error(message) {}

  // A command-line error: the usage text goes to standard output.
  static FatalError usage() { return FatalError(std::string(), true); }

  bool showsUsage() const { return showsUsage_; }

 private:
  FatalError(const std::string& message, bool showsUsage)
      : std::runtime_error(message), showsUsage_(showsUsage) {}

  bool showsUsage_ = false;
};

// Ends the run with the usage text on standard output and exit status 1.
[[noreturn]] inline void printUsage() { throw FatalError::usage(); }

}  // namespace skarvel

#endif  // SKARVEL_BASE_FATAL_ERROR_H_
