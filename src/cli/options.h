// The command-line options of one run and their parser.
//
// Options come before the file names; the first argument that is neither an
// option nor an option's value, and everything after it, is positional. Every
// error here is a usage error (FatalError::usage()).
#ifndef SKARVEL_CLI_OPTIONS_H_
#define SKARVEL_CLI_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>

namespace skarvel {

struct CommandOptions {
  uint64_t sizeBytes = 0;                // -s: disk size in bytes; 0 = not given
  bool split = false;                    // -p: split output
  bool merge = false;                    // -m: single-file output from a split input
  int32_t chainLevels = -1;              // -c: chain members copy reads; -1 = all
  std::string adapterType = "lsilogic";  // -a: adapter of a new image, unchecked
  int32_t hardwareVersion = 4;           // -r: hardware version of a new image
};

// Parses the options in argv[1..argc-1] into |options|, then compacts argv to
// the program path and the positional arguments (null after the last) and
// sets argc to 1 plus their number. Throws FatalError::usage() on any error
// and for -h/--help.
void parseOptions(int& argc, char** argv, CommandOptions& options);

// Parses a size text "<number>G" or "<number>M" (units of 2^30 and 2^20
// bytes) into bytes, cutting the unit letter off |text|. Numbers below 1 or
// beyond a signed 32-bit integer are usage errors, as is any other unit.
uint64_t parseSize(std::string& text);

// Reads |text| by the atoi rule: leading white space, an optional sign, the
// decimal digits that follow; no digits read as 0. Returns nothing when the
// number does not fit a signed 32-bit integer.
std::optional<int32_t> readInteger(const std::string& text);

}  // namespace skarvel

#endif  // SKARVEL_CLI_OPTIONS_H_
