// The test's side of the pipes of runSkarvelPiped, the same on every system:
// the bytes it feeds to standard input and where those of standard output
// go, with the delays and limits that PipeEnds asks for. The system's pipe
// calls come in as functions.
#ifndef SKARVEL_TESTS_SUPPORT_PIPE_ENDS_H_
#define SKARVEL_TESTS_SUPPORT_PIPE_ENDS_H_

#include <cstddef>
#include <functional>
#include <string>

#include "run_tool.h"

namespace skarvel::test {

// Puts |ends.input| (or as much of it as |ends.inputBytes| allows) through
// |write|, which moves all the bytes it is given or returns false when the
// pipe has no reader left; then returns, and the caller closes the pipe.
void feedPipe(const PipeEnds& ends, const std::string& directory,
              const std::function<bool(const char*, size_t)>& write);

// Takes bytes through |read| (which fills at most the size it is given and
// returns the count, 0 at the end of the pipe) into |ends.output|, until the
// pipe ends or |ends.outputBytes| have come; then the caller closes the
// pipe. Returns the bytes when |ends.output| names no file.
std::string drainPipe(const PipeEnds& ends, const std::string& directory,
                      const std::function<size_t(char*, size_t)>& read);

}  // namespace skarvel::test

#endif  // SKARVEL_TESTS_SUPPORT_PIPE_ENDS_H_
