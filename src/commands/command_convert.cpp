#include "commands/command_convert.h"

#include <cstring>
#include <iostream>
#include <optional>

#include "base/fatal_error.h"
#include "base/numbers.h"
#include "commands/descriptor_rewrite.h"
#include "format/descriptor.h"
#include "platform/file.h"
#include "reader/image_check.h"
#include "reader/open_image.h"

namespace skarvel {

namespace {

constexpr const char* kNoDescriptorMessage =
    "No description found in file, please convert the root file in cloned chain.";
constexpr const char* kNotRootMessage =
    "This is not a root file in cloned chain, please convert the root file in cloned chain.";

bool startsWith(const char* word, const char* prefix) {
  return std::strncmp(word, prefix, std::strlen(prefix)) == 0;
}

// The values the setting words ask for; a later word overrides an earlier one.
struct Settings {
  std::optional<int32_t> hardwareVersion;
  std::optional<std::string> adapterType;
  DdbLines ddb;
};

// Reads the "hwver=", "adapter=" and "ddb.name=value" words; others are
// skipped. A hardware
// version that is not one whole number ("hwver=", "hwver=6x") and an adapter
// type that descriptor text cannot carry are usage errors, found before the
// image is opened.
Settings readSettings(int32_t argc, char** argv) {
  Settings settings;
  for (int32_t i = 2; i < argc; ++i) {
    const char* equals = std::strchr(argv[i], '=');
    if (equals == nullptr) continue;
    if (startsWith(argv[i], "hwver=")) {
      settings.hardwareVersion = readWholeInteger(equals + 1);
      if (!settings.hardwareVersion) printUsage();
    } else if (startsWith(argv[i], "adapter=")) {
      settings.adapterType = equals + 1;
      if (!isPlainSetting(*settings.adapterType)) printUsage();
    } else if (startsWith(argv[i], "ddb.")) {
      auto line = parseDdbSetting(argv[i] + std::strlen("ddb."));
      if (!line) printUsage();
      settings.ddb.push_back(*line);
    }
  }
  return settings;
}

void applySettings(const Settings& settings, DiskDescriptor& descriptor) {
  if (settings.hardwareVersion) descriptor.virtualHWVersion = *settings.hardwareVersion;
  if (settings.adapterType) descriptor.adapterType = *settings.adapterType;
  descriptor.ddbSettings = settings.ddb;
}

int32_t refuse(const char* message) {
  std::cerr << message << '\n' << std::flush;
  return 1;
}

}  // namespace

int32_t CommandConvert::execute(int32_t argc, char** argv) {
  if (argc < 3) printUsage();
  Settings settings = readSettings(argc, argv);
  std::unique_ptr<VMDKReader> reader = openImage(
      argv[1], platform::kOpenBinary | platform::kOpenReadWrite | platform::kOpenLockWrite);
  SparseLayout layout = reader->layout();
  DiskDescriptor descriptor = reader->descriptor();
  if (layout.descriptorSectors == 0) return refuse(kNoDescriptorMessage);
  if (descriptor.hasParent()) return refuse(kNotRootMessage);
  applySettings(settings, descriptor);
  std::string text = composeRewrite(argv[1], *reader, descriptor, layout);
  refuseDamagedImage(*reader, argv[1]);
  writeRewrite(argv[1], reader, text);
  return 0;
}

}  // namespace skarvel
