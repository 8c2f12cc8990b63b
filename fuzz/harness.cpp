#include "harness.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <vector>

#include "base/fatal_error.h"
#include "cli/entry.h"
#include "format/descriptor.h"
#include "format/descriptor_parser.h"
#include "platform/file.h"
#include "reader/chain_reader.h"
#include "reader/open_image.h"

namespace skarvel::fuzz {

namespace {

namespace fs = std::filesystem;

constexpr uint8_t kSplit = 1 << 0;
constexpr uint8_t kMerge = 1 << 1;
constexpr uint8_t kOneLevel = 1 << 2;

// Swallows everything the commands print.
class NullBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// A directory of this process's own, made once (in memory where the system
// has a memory file system), emptied after every input and removed at exit.
class PrivateDirectory {
 public:
  PrivateDirectory() {
    fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    path_ = base / ("skarvel-fuzz-" + std::to_string(platform::processId()));
    fs::create_directories(path_);
  }
  ~PrivateDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

const fs::path& privateDirectory() {
  static const PrivateDirectory directory;
  return directory.path();
}

void writeFile(const fs::path& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

int run(std::vector<std::string> args) {
  args.insert(args.begin(), "skarvel");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return runCommandLine(static_cast<int>(args.size()), argv.data());
}

// Whether |path| is small enough for copy and clone to finish fast: they
// take time (and files) in proportion to the declared capacity.
bool smallEnough(const std::string& path) {
  std::unique_ptr<VMDKReader> reader;
  try {
    reader = openImage(path, platform::kOpenBinary | platform::kOpenReadOnly);
  } catch (const FatalError&) {
    return true;  // copy and clone refuse it just as quickly
  }
  // clone writes the input's own layout, copy the chain's (when it opens).
  uint64_t grains = reader->totalGrains();
  try {
    if (std::unique_ptr<VMDKChainReader> chain = openChain(reader, path)) {
      grains = std::max(grains, chain->totalGrains());
    }
  } catch (const FatalError&) {
  }
  return grains <= kMaxCopyGrains;
}

void runCommands(uint8_t options, const fs::path& directory) {
  std::string a = (directory / "a.vmdk").string();
  std::vector<std::string> choice;
  if (options & kSplit) choice.push_back("-p");
  if (options & kMerge) choice.push_back("-m");

  run({"info", a});
  if (smallEnough(a)) {
    std::vector<std::string> clone = {"clone"};
    clone.insert(clone.end(), choice.begin(), choice.end());
    clone.insert(clone.end(), {a, (directory / "child.vmdk").string()});
    run(clone);
    std::vector<std::string> copy = {"copy", "-c", options & kOneLevel ? "1" : "all"};
    copy.insert(copy.end(), choice.begin(), choice.end());
    copy.insert(copy.end(), {a, (directory / "out.vmdk").string()});
    run(copy);
  }
  run({"convert", a, "hwver=6", "adapter=ide"});
}

}  // namespace

void runDescriptorInput(const uint8_t* data, size_t size) {
  StringByteSource source(std::string(reinterpret_cast<const char*>(data), size));
  ParsedDescriptor parsed = parseDescriptor(source);
  SparseLayout layout = computeLayout(16384, 1);
  composeDescriptor(parsed.descriptor, layout, "a.vmdk", true);
  composeDescriptor(parsed.descriptor, layout, parsed.extents, !parsed.descriptor.hasParent());
}

void runCommandsInput(const uint8_t* data, size_t size) {
  if (size < 3) return;
  size_t firstLength = std::min<size_t>(data[1] | (data[2] << 8), size - 3);
  const fs::path& directory = privateDirectory();
  writeFile(directory / "a.vmdk", data + 3, firstLength);
  writeFile(directory / "b.vmdk", data + 3 + firstLength, size - 3 - firstLength);

  NullBuffer silence;
  std::streambuf* out = std::cout.rdbuf(&silence);
  std::streambuf* err = std::cerr.rdbuf(&silence);
  runCommands(data[0], directory);
  std::cout.rdbuf(out);
  std::cerr.rdbuf(err);
  std::cout.clear();

  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(directory, ignored)) fs::remove(entry, ignored);
}

std::string commandsInput(uint8_t options, const std::string& a, const std::string& b) {
  std::string input(1, static_cast<char>(options));
  input += static_cast<char>(a.size() & 0xFF);
  input += static_cast<char>((a.size() >> 8) & 0xFF);
  return input + a + b;
}

}  // namespace skarvel::fuzz
