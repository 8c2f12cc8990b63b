// Running the built skarvel binary as a user would, and the interop peers.
#ifndef SKARVEL_TESTS_SUPPORT_RUN_TOOL_H_
#define SKARVEL_TESTS_SUPPORT_RUN_TOOL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "cli/entry.h"
#include "platform/file.h"

namespace skarvel::test {

struct RunResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;  // everything on standard output
  std::string err;  // everything on standard error
};

// Runs |program| with |args| (argv[1..]) in |directory|, with no standard
// input, and collects both output streams.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& directory);

// Runs the skarvel binary under test; |argv0| replaces its argv[0] when given.
RunResult runSkarvel(const std::vector<std::string>& args, const std::string& directory,
                     const std::string& argv0 = std::string());

// Runs the skarvel binary under test with the file |input| (an absolute
// path) on its standard input: on Windows through a pipe that a thread feeds
// from the file, elsewhere opened as it is (read in order all the same).
RunResult runSkarvelReading(const std::string& input, const std::vector<std::string>& args,
                            const std::string& directory);

// What the test does at the far ends of the pipes on which runSkarvelPiped
// puts skarvel's standard input and output, as a shell's | would. Files are
// named by absolute paths or relative to the run's directory.
struct PipeEnds {
  static constexpr uint64_t kAll = ~uint64_t{0};
  std::string input{};          // fed to standard input; none: the pipe closes at once
  uint64_t inputBytes = kAll;   // the pipe closes after so many: a stream cut short
  int inputDelayMs = 0;         // a slow writer: the first byte comes after so long
  std::string output{};         // takes standard output; none: RunResult::out does
  uint64_t outputBytes = kAll;  // the read end closes after so many: a reader that leaves
  int outputDelayMs = 0;        // a slow reader: the first read comes after so long
};

// Runs the skarvel binary under test with its standard input and output on
// pipes that this process drives as |ends| says, and collects standard error.
RunResult runSkarvelPiped(const PipeEnds& ends, const std::vector<std::string>& args,
                          const std::string& directory);

// Runs skarvel in this process on |args| (argv[1..]), every write after the
// first |writes| failing as on a full disk (the fault seam of the file
// layer); returns the exit status. Messages go to this process's streams.
inline int runFailingWritesAfter(uint64_t writes, std::vector<std::string> args) {
  args.insert(args.begin(), "skarvel");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  platform::failWritesAfter(writes);
  int status = runCommandLine(static_cast<int>(args.size()), argv.data());
  platform::failWritesAfter(platform::kNoWriteFault);
  return status;
}

// The path of the skarvel binary under test.
std::string skarvelBinary();

// Copies the binary under test into |directory| and returns the command line
// that runs the copy (the emulator first where the build needs one). For runs
// as another user, who may not reach the build tree: a clone may lie in a
// directory only its owner can enter.
std::vector<std::string> skarvelCopiedTo(const std::string& directory);

// True when |tool| (qemu-img, qemu-io, vmdkinfo) is on the PATH. When it is
// missing, a test should GTEST_SKIP() with the message of peerMissing(); in
// CI (CI set in the environment) a missing peer is a failure instead.
bool havePeer(const std::string& tool);
std::string peerMissing(const std::string& tool);

// Skips the current test (or fails it, in CI) when |tool| is missing.
#define SKARVEL_REQUIRE_PEER(tool)                          \
  do {                                                      \
    if (!::skarvel::test::havePeer(tool)) {                 \
      if (std::getenv("CI") != nullptr) {                   \
        FAIL() << ::skarvel::test::peerMissing(tool);       \
      } else {                                              \
        GTEST_SKIP() << ::skarvel::test::peerMissing(tool); \
      }                                                     \
    }                                                       \
  } while (0)

}  // namespace skarvel::test

#endif  // SKARVEL_TESTS_SUPPORT_RUN_TOOL_H_
