#include "commands/command_convert.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <optional>
#include <vector>

#include "base/fatal_error.h"
#include "base/numbers.h"
#include "base/paths.h"
#include "format/descriptor.h"
#include "platform/file.h"
#include "reader/multi_file_reader.h"
#include "reader/open_image.h"
#include "reader/single_file_reader.h"

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
};

// Reads the "hwver=" and "adapter=" words; others are skipped. A hardware
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
    }
  }
  return settings;
}

void applySettings(const Settings& settings, DiskDescriptor& descriptor) {
  if (settings.hardwareVersion) descriptor.virtualHWVersion = *settings.hardwareVersion;
  if (settings.adapterType) descriptor.adapterType = *settings.adapterType;
}

// Creates a new file beside |path| that no other file or link occupies.
// Returns its descriptor and sets |temporary|, or returns -1.
int createTemporaryBeside(const std::string& path, std::string& temporary) {
  constexpr int kAttempts = 100;
  std::string directory, fileName;
  splitPath(path, directory, fileName);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    temporary = directory + "." + fileName + ".skarvel-" + std::to_string(attempt);
    int fd = platform::openFile(temporary, platform::kOpenBinary | platform::kOpenReadWrite |
                                               platform::kOpenCreate | platform::kOpenExclusive);
    if (fd >= 0) return fd;
  }
  return -1;
}

// Replaces the descriptor file at |path| with |text|: the text goes to a new
// file beside it, which then takes the old one's place and permissions, so
// that a failure leaves the old file whole. A symbolic link is followed, so
// the file it names is replaced and the link stays. The reader is closed
// before the swap (some systems refuse to replace an open file).
void rewriteDescriptorFile(const std::string& path, std::unique_ptr<VMDKReader> reader,
                           const std::string& text) {
  std::string target = platform::resolvedPath(path);
  std::string temporary;
  int fd = createTemporaryBeside(target, temporary);
  bool written = fd >= 0 && platform::copyPermissions(reader->fileHandle(), fd) &&
                 platform::writeFile(fd, text.data(), static_cast<uint32_t>(text.size()));
  bool closed = fd >= 0 && platform::closeFile(fd);
  reader.reset();
  if (!written || !closed || !platform::replaceFile(temporary, target)) {
    if (fd >= 0) platform::removeFile(temporary);
    throw FatalError("Failed to re-write file " + path);
  }
}

bool overlaps(uint64_t start, uint64_t end, uint64_t otherStart, uint64_t otherEnd) {
  return start < otherEnd && otherStart < end;
}

// True when the descriptor area the header declares lies wholly inside the
// file as it is (rewriting it never grows the file), before the first grain,
// clear of both grain directories with the tables the layout puts after
// them, and clear of every table the directories name, so that rewriting it
// cannot damage the image.
bool descriptorAreaIsSafe(const VMDKSingleFileReader& reader, uint64_t fileSectors) {
  const SparseExtentHeader& header = reader.header();
  const SparseLayout& layout = reader.layout();
  if (header.overHead > kSectorLimit || header.descriptorSize > header.overHead) return false;
  uint64_t start = header.descriptorOffset, end = start + header.descriptorSize;
  if (end > header.overHead || end > fileSectors) return false;
  uint64_t indexSectors = layout.directorySectors + kTableSectors * layout.grainTableCount;
  for (uint64_t directory : {header.gdOffset, header.rgdOffset}) {
    if (directory != 0 && overlaps(start, end, directory, directory + indexSectors)) return false;
  }
  return reader.indexAvoids(start, end);
}

// Writes |text| and zeros over the whole descriptor area that the header
// declares, and nothing outside it or past the end of the file. Throws FatalError("Invalid sparse
// extent header in " + path) when that area would reach other structures.
void rewriteEmbeddedDescriptor(const VMDKSingleFileReader& reader, const std::string& text) {
  const SparseExtentHeader& header = reader.header();
  uint64_t fileBytes = 0;
  if (!platform::fileSizeOf(reader.fileHandle(), &fileBytes) ||
      !descriptorAreaIsSafe(reader, fileBytes / kSectorBytes)) {
    throw FatalError("Invalid sparse extent header in " + reader.path());
  }
  uint64_t areaBytes = header.descriptorSize * kSectorBytes;
  checkDescriptorFits(text, reader.path(), areaBytes);
  int fd = reader.fileHandle();
  if (!platform::seekFile64(fd, header.descriptorOffset * kSectorBytes) ||
      !platform::writeFile(fd, text.data(), static_cast<uint32_t>(text.size()))) {
    throw FatalError("Failed to write file " + reader.path());
  }
  std::vector<uint8_t> zeros(kGrainBytes, 0);
  for (uint64_t left = areaBytes - text.size(); left > 0;) {
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(left, zeros.size()));
    if (!platform::writeFile(fd, zeros.data(), n)) {
      throw FatalError("Failed to write file " + reader.path());
    }
    left -= n;
  }
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

  if (reader->isMultiFile()) {
    const auto& multi = static_cast<const VMDKMultiFileReader&>(*reader);
    std::string text = composeDescriptor(descriptor, layout, multi.extents(), true);
    rewriteDescriptorFile(argv[1], std::move(reader), text);
    return 0;
  }
  std::string directory, fileName;
  splitPath(argv[1], directory, fileName);
  rewriteEmbeddedDescriptor(static_cast<const VMDKSingleFileReader&>(*reader),
                            composeDescriptor(descriptor, layout, fileName, true));
  return 0;
}

}  // namespace skarvel
