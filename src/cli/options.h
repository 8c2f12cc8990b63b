// The command-line options of one run and their parser.
//
// Options come before the file names; the first argument that is neither an
// option nor an option's value, and everything after it, is positional. Every
// error here is a usage error (FatalError::usage()).
#ifndef SKARVEL_CLI_OPTIONS_H_
#define SKARVEL_CLI_OPTIONS_H_

#include <cstdint>
#include <string>

#include "commands/command_options.h"

namespace skarvel {

// Parses the options in argv[1..argc-1] into |options|, then compacts argv to
// the program path and the positional arguments (null after the last) and
// sets argc to 1 plus their number. Throws FatalError::usage() on any error
// and for -h/--help.
void parseOptions(int& argc, char** argv, CommandOptions& options);

// Parses a size text "<number>G" or "<number>M" (units of 2^30 and 2^20
// bytes) into bytes, cutting the unit letter off |text|. Numbers below 1 or
// beyond a signed 32-bit integer are usage errors, as are any other unit and
// any text between the digits and the unit ("1.5G", "9xM").
uint64_t parseSize(std::string& text);

}  // namespace skarvel

#endif  // SKARVEL_CLI_OPTIONS_H_
