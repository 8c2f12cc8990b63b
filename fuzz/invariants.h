// What the commands that write an image in place must keep, as the fuzz
// harness checks it on every input.
//
// Each check takes a snapshot before the command, runs it through |run|
// (which returns the command's exit status, or kBounded when the harness
// cut it short), and compares. A broken invariant prints one line on
// standard error and aborts, which a fuzzer reports as a crash.
#ifndef SKARVEL_FUZZ_INVARIANTS_H_
#define SKARVEL_FUZZ_INVARIANTS_H_

#include <functional>
#include <string>
#include <vector>

namespace skarvel::fuzz {

// What |run| returns for a command the harness cut short (time or size).
constexpr int kBounded = -1;

using CommandRunner = std::function<int(std::vector<std::string>)>;

// Runs check -R on |image| twice. After the first, every grain that both
// copies of its table agreed on, in each of |files| (the image's own and
// any other sparse extent it may name), still has that entry in the primary
// table and reads the same bytes; the second, after a first that ended
// (status 0 or 2), changes no byte of |files|.
void checkRepairKeepsAgreedGrains(const CommandRunner& run, const std::string& image,
                                  const std::vector<std::string>& files);

// Runs rebase of |image| onto |newParent|: whatever its status, the image
// then shows what it showed before. Skipped for a disk that does not open
// or is larger than the harness reads.
void rebaseKeepsWhatTheChildShows(const CommandRunner& run, const std::string& image,
                                  const std::string& newParent);

// Runs compact of |image|: whatever its status, the image then shows what
// it showed before. Skipped as above.
void compactKeepsWhatTheDiskShows(const CommandRunner& run, const std::string& image);

// Runs grow of |image| to a few MiB more: whatever its status, the old part
// then reads as before and anything past it as zeros. Skipped as above.
void growKeepsTheOldPartAndAddsZeros(const CommandRunner& run, const std::string& image);

}  // namespace skarvel::fuzz

#endif  // SKARVEL_FUZZ_INVARIANTS_H_
