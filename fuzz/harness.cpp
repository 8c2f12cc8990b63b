#include "harness.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#if __has_include(<sys/resource.h>)
#include <sys/resource.h>
#endif

#include "base/fatal_error.h"
#include "cli/entry.h"
#include "format/descriptor.h"
#include "format/descriptor_parser.h"
#include "invariants.h"
#include "platform/file.h"

namespace skarvel::fuzz {

namespace {

namespace fs = std::filesystem;

constexpr uint8_t kSplit = 1 << 0;
constexpr uint8_t kMerge = 1 << 1;
constexpr uint8_t kOneLevel = 1 << 2;

// Thrown out of a command whose time is up; the harness catches it.
struct WorkBound {};

// Sets the largest file this process may write: a write past it fails as
// on a full disk (the signal it would raise is ignored). Unbounded
// elsewhere than on POSIX systems.
void limitFileSize(uint64_t bytes) {
#if __has_include(<sys/resource.h>)
  static bool once = (std::signal(SIGXFSZ, SIG_IGN), true);
  (void)once;
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) != 0) return;
  limit.rlim_cur = std::min<rlim_t>(bytes, limit.rlim_max);
  setrlimit(RLIMIT_FSIZE, &limit);
#else
  (void)bytes;
#endif
}

// Bounds one command's work, whatever size the input declares: the files it
// writes stay below kMaxOutputBytes each, and once kMaxCommandTime has
// passed every further write of the tool fails and the next progress text
// ends the command (copy prints one at least every few milliseconds of
// work). The fuzzer's own files (the input of a crash, its report) are
// written as ever.
class CommandBound {
 public:
  CommandBound() : watchdog_([this] { watch(); }) {}
  ~CommandBound() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    woken_.notify_one();
    watchdog_.join();
    platform::failWritesAfter(platform::kNoWriteFault);
  }
  bool expired() const { return expired_; }

 private:
  static constexpr uint64_t kMaxOutputBytes = uint64_t{64} << 20;
  static constexpr auto kMaxCommandTime = std::chrono::seconds(2);

  void watch() {
    limitFileSize(kMaxOutputBytes);
    std::unique_lock<std::mutex> lock(mutex_);
    if (woken_.wait_for(lock, kMaxCommandTime, [this] { return finished_; })) return;
    expired_ = true;
    platform::failWritesAfter(0);
  }

  std::mutex mutex_;
  std::condition_variable woken_;
  bool finished_ = false;
  std::atomic<bool> expired_{false};
  std::thread watchdog_;
};

// Swallows everything the commands print; ends a command whose time is up.
class NullBuffer : public std::streambuf {
 public:
  explicit NullBuffer(const CommandBound& bound) : bound_(bound) {}

 protected:
  int_type overflow(int_type c) override {
    if (bound_.expired()) throw WorkBound();
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char*, std::streamsize n) override {
    if (bound_.expired()) throw WorkBound();
    return n;
  }

 private:
  const CommandBound& bound_;
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

// Runs one command line in-process, silenced and bounded (CommandBound).
// Returns its exit status, or kBounded when the bound cut it short.
int run(std::vector<std::string> args) {
  args.insert(args.begin(), "skarvel");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  CommandBound bound;
  NullBuffer silence(bound);
  std::streambuf* out = std::cout.rdbuf(&silence);
  std::streambuf* err = std::cerr.rdbuf(&silence);
  // A stream rethrows what its buffer throws only when asked to.
  std::cout.exceptions(std::ios::badbit);
  std::cerr.exceptions(std::ios::badbit);
  int status = kBounded;
  try {
    status = runCommandLine(static_cast<int>(args.size()), argv.data());
  } catch (const WorkBound&) {
  }
  std::cout.exceptions(std::ios::goodbit);
  std::cerr.exceptions(std::ios::goodbit);
  std::cout.rdbuf(out);
  std::cerr.rdbuf(err);
  std::cout.clear();
  std::cerr.clear();
  return bound.expired() ? kBounded : status;
}

void runCommands(uint8_t options, const fs::path& directory) {
  std::string a = (directory / "a.vmdk").string(), b = (directory / "b.vmdk").string();
  std::vector<std::string> choice;
  if (options & kSplit) choice.push_back("-p");
  if (options & kMerge) choice.push_back("-m");

  run({"info", a});
  std::vector<std::string> clone = {"clone"};
  clone.insert(clone.end(), choice.begin(), choice.end());
  clone.insert(clone.end(), {a, (directory / "child.vmdk").string()});
  run(clone);
  std::vector<std::string> copy = {"copy", "-c", options & kOneLevel ? "1" : "all"};
  copy.insert(copy.end(), choice.begin(), choice.end());
  copy.insert(copy.end(), {a, (directory / "out.vmdk").string()});
  run(copy);
  run({"convert", a, "hwver=6", "adapter=ide"});
  // The commands that write the image in place, each with what it keeps.
  checkRepairKeepsAgreedGrains(run, a, {a, b});
  rebaseKeepsWhatTheChildShows(run, a, b);
  compactKeepsWhatTheDiskShows(run, a);
  growKeepsTheOldPartAndAddsZeros(run, a);
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

  runCommands(data[0], directory);

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
