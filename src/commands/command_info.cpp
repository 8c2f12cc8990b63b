#include "commands/command_info.h"

#include <cstdio>
#include <iostream>

#include "base/fatal_error.h"
#include "platform/file.h"
#include "reader/chain_reader.h"
#include "reader/open_image.h"

namespace skarvel {

namespace {

void printLine(const std::string& line) { std::cout << line << '\n' << std::flush; }

void printReport(const VMDKReader& input, const DiskDescriptor& descriptor,
                 const SparseLayout& layout) {
  printLine("Version        : " + std::to_string(static_cast<uint32_t>(descriptor.version)));
  printLine("CreateType     : " + descriptor.createType);
  printLine("HardwareVersion: " +
            std::to_string(static_cast<uint32_t>(descriptor.virtualHWVersion)));
  printLine("AdapterType    : " + descriptor.adapterType);
  printLine("Capacity       : " + std::to_string(input.capacity()) + " Sectors, " +
            std::to_string(input.capacityIn('G')) + " GBytes");
  printLine("Grains         : " + std::to_string(input.grainCount()) + " (" +
            std::to_string(input.grainBytes()) + " bytes each)");
  printLine("GrainTables    : " + std::to_string(layout.grainTableCount));
  printLine("GrainDirSize   : " + std::to_string(layout.directorySectors));
  printLine("Overhead       : " + std::to_string(layout.overhead));
  printLine("");
}

// Line k names the parent of member k - 1 as that member records it.
void printChain(const std::string& inputPath, const VMDKChainReader& chain) {
  printLine("Chained VMDKs:");
  printLine("000 " + inputPath);
  const auto& members = chain.readers();
  for (size_t i = 0; i + 1 < members.size(); ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "%03u ", static_cast<unsigned>(i + 1));
    printLine(number + members[i]->descriptor().parentFileNameHint);
  }
  printLine("");
}

}  // namespace

int32_t CommandInfo::execute(int32_t argc, char** argv) {
  if (argc < 2) printUsage();
  // info changes nothing and takes no locks: a report on a disk that a
  // running machine uses is useful.
  constexpr int kUnlocked = platform::kOpenBinary | platform::kOpenReadOnly;
  std::unique_ptr<VMDKReader> reader =
      options->rawInput ? openRawImage(argv[1], kUnlocked) : openImage(argv[1], kUnlocked);
  const VMDKReader* input = reader.get();
  std::unique_ptr<VMDKChainReader> chain;
  if (reader->descriptor().hasParent()) chain = openChain(reader, argv[1]);
  // A child's report gives its own capacity and grains but the root's
  // descriptor fields and table geometry.
  const VMDKReader& root = chain ? *chain->readers().back() : *input;
  printReport(*input, root.descriptor(), root.layout());
  if (chain) printChain(argv[1], *chain);
  return 0;
}

}  // namespace skarvel
