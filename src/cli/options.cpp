#include "cli/options.h"

#include <cstring>

#include "base/fatal_error.h"
#include "base/numbers.h"
#include "format/descriptor.h"
#include "format/ova/ova_layout.h"

namespace skarvel {

namespace {

constexpr uint64_t kMebibyte = 1024 * 1024;
constexpr uint64_t kMebibytesPerGibibyte = 1024;

[[noreturn]] void rejectCommandLine() { throw FatalError::usage(); }

// A number typed on the command line: white space and a sign may lead, but
// nothing may follow the digits ("6x" and "1.5" are refused, not cut short).
int32_t requireInteger(const std::string& text) {
  std::optional<int32_t> value = readWholeInteger(text);
  if (!value) rejectCommandLine();
  return *value;
}

// "name=value" as the disk database line ddb.name = "value". Neither part may
// hold '"', '=' or a control byte, nor the name white space or nothing: the
// line must read back as written.
std::pair<std::string, std::string> ddbSetting(const std::string& text) {
  std::optional<std::pair<std::string, std::string>> setting = parseDdbSetting(text);
  if (!setting) rejectCommandLine();
  return *setting;
}

enum class OptionKind {
  kSize,
  kAdapter,
  kHwver,
  kChains,
  kSplit,
  kMerge,
  kType,
  kFormat,
  kSecondFormat,
  kLinkOnly,
  kHelp,
  kRepair,
  kJson,
  kDdb,
  kName,
  kCpus,
  kMemory,
  kManifest,
  kDisk,
  kSalvage
};

struct OptionName {
  const char* shortName;  // null: the option has only its long name
  const char* longName;
  OptionKind kind;
  bool takesValue;
};

constexpr OptionName kOptions[] = {
    {"-s", "--size", OptionKind::kSize, true},
    {"-a", "--adapter", OptionKind::kAdapter, true},
    {"-r", "--hwver", OptionKind::kHwver, true},
    {"-c", "--chains", OptionKind::kChains, true},
    {"-p", "--split", OptionKind::kSplit, false},
    {"-m", "--merge", OptionKind::kMerge, false},
    {"-l", "--link-only", OptionKind::kLinkOnly, false},
    {"-t", "--type", OptionKind::kType, true},
    {"-f", "--format", OptionKind::kFormat, true},
    {"-F", "--second-format", OptionKind::kSecondFormat, true},
    {"-h", "--help", OptionKind::kHelp, false},
    {"-R", "--repair", OptionKind::kRepair, false},
    {"-j", "--json", OptionKind::kJson, false},
    {"-d", "--ddb", OptionKind::kDdb, true},
    {nullptr, "--name", OptionKind::kName, true},
    {nullptr, "--cpus", OptionKind::kCpus, true},
    {nullptr, "--memory", OptionKind::kMemory, true},
    {nullptr, "--manifest", OptionKind::kManifest, true},
    {nullptr, "--disk", OptionKind::kDisk, true},
    // No short form: "-S", a mistyped "-s", stays an error.
    {nullptr, "--salvage", OptionKind::kSalvage, false},
};

const OptionName* findOption(const char* argument) {
  for (const OptionName& option : kOptions) {
    if ((option.shortName != nullptr && std::strcmp(argument, option.shortName) == 0) ||
        std::strcmp(argument, option.longName) == 0) {
      return &option;
    }
  }
  return nullptr;
}

void applyOption(OptionKind kind, const std::string& value, CommandOptions& options) {
  switch (kind) {
    case OptionKind::kSize: {
      std::string text = value;
      options.sizeBytes = parseSize(text);
      break;
    }
    case OptionKind::kAdapter:
      // The value goes between quotes in descriptor text.
      if (!isPlainSetting(value)) rejectCommandLine();
      options.adapterType = value;
      break;
    case OptionKind::kHwver:
      options.hardwareVersion = requireInteger(value);
      if (options.hardwareVersion == 0) rejectCommandLine();
      break;
    case OptionKind::kChains:
      if (value == "all") {
        options.chainLevels = -1;
      } else {
        options.chainLevels = requireInteger(value);
        if (options.chainLevels < 1) rejectCommandLine();
      }
      break;
    case OptionKind::kSplit:
      options.split = true;
      break;
    case OptionKind::kMerge:
      options.merge = true;
      break;
    case OptionKind::kType:
      options.outputKind = outputKindNamed(value);
      if (!options.outputKind) rejectCommandLine();
      break;
    case OptionKind::kFormat:
      // Images are recognised by their content; only plain disks are named:
      // a raw one, or a fixed VHD (raw with a footer).
      if (value != "raw" && value != "vhd") rejectCommandLine();
      options.rawInput = true;
      options.vhdInput = value == "vhd";
      break;
    case OptionKind::kSecondFormat:
      if (value != "raw" && value != "vhd") rejectCommandLine();
      options.rawSecondInput = true;
      options.vhdSecondInput = value == "vhd";
      break;
    case OptionKind::kLinkOnly:
      options.linkOnly = true;
      break;
    case OptionKind::kHelp:
      rejectCommandLine();
    case OptionKind::kRepair:
      options.repair = true;
      break;
    case OptionKind::kJson:
      options.json = true;
      break;
    case OptionKind::kDdb:
      options.ddbSettings.push_back(ddbSetting(value));
      break;
    case OptionKind::kName:
      if (!isPackageName(value)) rejectCommandLine();
      options.packageName = value;
      break;
    case OptionKind::kCpus: {
      int32_t cpus = requireInteger(value);
      if (cpus < 1) rejectCommandLine();
      options.cpus = static_cast<uint64_t>(cpus);
      break;
    }
    case OptionKind::kMemory: {
      std::string text = value;
      options.memoryMiB = parseSize(text) / kMebibyte;
      break;
    }
    case OptionKind::kManifest:
      if (value != "sha1" && value != "sha256") rejectCommandLine();
      options.manifestSha1 = value == "sha1";
      break;
    case OptionKind::kDisk:
      // Disks of a package count from 1.
      options.diskNumber = requireInteger(value);
      if (options.diskNumber < 1) rejectCommandLine();
      break;
    case OptionKind::kSalvage:
      options.salvage = true;
      break;
  }
}

// -p is a short form of -t twoGbMaxExtentSparse and -m of -t
// monolithicSparse; a -t that names another kind contradicts them.
void rejectContradictions(const CommandOptions& options) {
  if (!options.outputKind) return;
  if (options.split && *options.outputKind != OutputKind::kSplitSparse) rejectCommandLine();
  if (options.merge && *options.outputKind != OutputKind::kMonolithicSparse) rejectCommandLine();
}

}  // namespace

uint64_t parseSize(std::string& text) {
  if (text.empty()) rejectCommandLine();
  uint64_t factor;
  switch (text.back()) {
    case 'G':
      factor = kMebibytesPerGibibyte;
      break;
    case 'M':
      factor = 1;
      break;
    default:
      rejectCommandLine();
  }
  text.pop_back();
  int32_t number = requireInteger(text);
  // Zero and negative sizes describe no disk.
  if (number < 1) rejectCommandLine();
  return static_cast<uint64_t>(number) * factor * kMebibyte;
}

void parseOptions(int& argc, char** argv, CommandOptions& options) {
  int index = 1;
  while (index < argc) {
    const char* argument = argv[index];
    const OptionName* option = findOption(argument);
    if (option == nullptr) {
      // A lone "-" names standard input or output: a file name.
      if (argument[0] == '-' && argument[1] != '\0') rejectCommandLine();
      break;  // the first positional argument
    }
    std::string value;
    if (option->takesValue) {
      if (index + 1 >= argc) rejectCommandLine();
      value = argv[++index];
    }
    applyOption(option->kind, value, options);
    ++index;
  }
  rejectContradictions(options);
  int kept = 1;
  for (; index < argc; ++index) argv[kept++] = argv[index];
  argv[kept] = nullptr;
  argc = kept;
}

}  // namespace skarvel
