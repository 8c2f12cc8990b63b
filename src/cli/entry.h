// The entry point's work: from one command line to one command run.
#ifndef SKARVEL_CLI_ENTRY_H_
#define SKARVEL_CLI_ENTRY_H_

#include <string>

namespace skarvel {

// Takes the command word: argv[1] (removed from the vector), or, when argv[1]
// begins with '-', the file-name part of argv[0] (the vector is unchanged).
// Empty when there is no argument.
std::string takeCommandWord(int& argc, char** argv);

// Runs one command line and returns the exit status: the command's result,
// or 1 after printing the usage text (standard output) or a failure's line
// (standard error). This is the only place where a failure ends the run.
int runCommandLine(int argc, char** argv);

}  // namespace skarvel

#endif  // SKARVEL_CLI_ENTRY_H_
