// The usage text, shown for every command-line error.
#ifndef SKARVEL_CLI_USAGE_H_
#define SKARVEL_CLI_USAGE_H_

#include <ostream>

namespace skarvel {

// Writes the 28 lines of the usage text, each line flushed.
void writeUsage(std::ostream& out);

// Ends the run with the usage text on standard output and exit status 1
// (throws FatalError::usage(); the entry point prints the text).
[[noreturn]] void printUsage();

}  // namespace skarvel

#endif  // SKARVEL_CLI_USAGE_H_
