#include "commands/command_compare.h"

#include <iostream>
#include <optional>

#include "base/fatal_error.h"
#include "commands/difference_search.h"
#include "commands/json_report.h"

namespace skarvel {

namespace {

constexpr int kExitDifferent = 2;

}  // namespace

int32_t CommandCompare::execute(int32_t argc, char** argv) {
  if (argc < 3) printUsage();
  CompareOutcome outcome =
      findFirstDifference({argv[1], options->rawInput, options->vhdInput},
                          {argv[2], options->rawSecondInput, options->vhdSecondInput});
  std::optional<uint64_t> difference = outcome.difference;
  if (options->json) {
    printJson({{"identical", !difference},
               {"first_bytes", outcome.firstBytes},
               {"second_bytes", outcome.secondBytes},
               {"sizes_differ", outcome.firstBytes != outcome.secondBytes},
               {"first_difference", difference ? Json(*difference) : Json()}});
  } else {
    if (outcome.firstBytes != outcome.secondBytes) {
      std::cout << "Sizes differ: " << outcome.firstBytes << " and " << outcome.secondBytes
                << " bytes\n";
    }
    if (difference) {
      std::cout << "Content differs at byte " << *difference << '\n';
    } else {
      std::cout << "Identical\n";
    }
    std::cout << std::flush;
  }
  return difference ? kExitDifferent : 0;
}

}  // namespace skarvel
