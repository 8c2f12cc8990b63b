// The options of one run, as the commands read them.
#ifndef SKARVEL_COMMANDS_COMMAND_OPTIONS_H_
#define SKARVEL_COMMANDS_COMMAND_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "writer/output_kind.h"

namespace skarvel {

struct CommandOptions {
  uint64_t sizeBytes = 0;                // -s: disk size in bytes; 0 = not given
  bool split = false;                    // -p: split output
  bool merge = false;                    // -m: single-file output from a split input
  int32_t chainLevels = -1;              // -c: chain members copy reads; -1 = all
  std::string adapterType = "lsilogic";  // -a: adapter of a new image
  int32_t hardwareVersion = 4;           // -r: hardware version of a new image
  std::optional<OutputKind> outputKind;  // -t: the output's kind; none = chosen by -p/-m
  bool rawInput = false;                 // -f raw|vhd: the input is a plain disk, not an image
  bool vhdInput = false;                 // -f vhd: that disk is a fixed VHD, footer at its end
  bool rawSecondInput = false;           // -F raw|vhd: compare's second input is a plain disk
  bool vhdSecondInput = false;           // -F vhd: that disk is a fixed VHD
  bool linkOnly = false;                 // -l: rebase rewrites only the parent hint
  bool repair = false;                   // -R: check repairs what it safely can
  bool json = false;                     // -j: reports as JSON, for programs
  int32_t diskNumber = 0;                // --disk: the disk of an OVA input copy reads; 0 = none
  bool salvage = false;                  // --salvage: copy goes on past what it cannot read
  // -d: disk database lines of a new image, "ddb." and the name, and the value
  std::vector<std::pair<std::string, std::string>> ddbSettings;
  std::string packageName;    // --name: the OVA's name; empty = the output's file name
  uint64_t cpus = 1;          // --cpus: processors of the OVA's machine
  uint64_t memoryMiB = 1024;  // --memory: its memory
  bool manifestSha1 = false;  // --manifest sha1: SHA-1 digests in the OVA's manifest
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_COMMAND_OPTIONS_H_
