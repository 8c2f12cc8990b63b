#include "cli/entry.h"

#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <new>

#include "base/fatal_error.h"
#include "base/paths.h"
#include "cli/options.h"
#include "cli/usage.h"
#include "commands/command_check.h"
#include "commands/command_clone.h"
#include "commands/command_compact.h"
#include "commands/command_compare.h"
#include "commands/command_convert.h"
#include "commands/command_copy.h"
#include "commands/command_create.h"
#include "commands/command_grow.h"
#include "commands/command_info.h"
#include "commands/command_ova.h"
#include "commands/command_processor.h"
#include "commands/command_rebase.h"
#include "format/cid.h"
#include "platform/file.h"

namespace skarvel {

namespace {

using CommandRegistry = std::map<std::string, std::unique_ptr<CommandProcessor>>;

// The commands, registered in a fixed order.
CommandRegistry buildRegistry(const CommandOptions* options) {
  CommandRegistry registry;
  registry.emplace("info", std::make_unique<CommandInfo>(options));
  registry.emplace("convert", std::make_unique<CommandConvert>(options));
  registry.emplace("create", std::make_unique<CommandCreate>(options));
  registry.emplace("clone", std::make_unique<CommandClone>(options));
  registry.emplace("copy", std::make_unique<CommandCopy>(options));
  registry.emplace("grow", std::make_unique<CommandGrow>(options));
  registry.emplace("rebase", std::make_unique<CommandRebase>(options));
  registry.emplace("check", std::make_unique<CommandCheck>(options));
  registry.emplace("compare", std::make_unique<CommandCompare>(options));
  registry.emplace("ova", std::make_unique<CommandOva>(options));
  registry.emplace("compact", std::make_unique<CommandCompact>(options));
  return registry;
}

// The start of the run to the microsecond, and the process id: runs in the
// same second still give their images different CIDs.
uint32_t cidSeed() {
  using std::chrono::microseconds;
  constexpr uint64_t kMicrosecondsPerSecond = 1000000;
  uint64_t now = static_cast<uint64_t>(
      std::chrono::duration_cast<microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
  return mixSeed(now / kMicrosecondsPerSecond, now % kMicrosecondsPerSecond, platform::processId());
}

int dispatch(int argc, char** argv) {
  // A process may be started without even a program name.
  if (argc < 1) printUsage();
  platform::raiseOpenFileLimit();
  platform::ignoreBrokenPipes();
  std::string word = takeCommandWord(argc, argv);
  CommandOptions options;
  parseOptions(argc, argv, options);
  seedCid(cidSeed());
  CommandRegistry registry = buildRegistry(&options);
  auto found = registry.find(word);
  if (found == registry.end()) printUsage();
  return found->second->execute(argc, argv);
}

}  // namespace

std::string takeCommandWord(int& argc, char** argv) {
  if (argc < 2) return std::string();
  if (argv[1][0] == '-') {
    std::string directory, fileName;
    splitPath(argv[0], directory, fileName);
    return fileName;
  }
  std::string word = argv[1];
  for (int i = 2; i < argc; ++i) argv[i - 1] = argv[i];
  --argc;
  argv[argc] = nullptr;
  return word;
}

int runCommandLine(int argc, char** argv) {
  try {
    return dispatch(argc, argv);
  } catch (const FatalError& error) {
    if (error.showsUsage()) {
      writeUsage(std::cout);
    } else {
      std::cerr << error.what() << '\n' << std::flush;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    std::cerr << "Out of memory" << '\n' << std::flush;
    return 1;
  }
}

}  // namespace skarvel
