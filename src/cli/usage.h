// The usage text, shown for every command-line error.
#ifndef SKARVEL_CLI_USAGE_H_
#define SKARVEL_CLI_USAGE_H_

#include <ostream>

namespace skarvel {

// Writes the 28 lines of the usage text, each line flushed.
void writeUsage(std::ostream& out);

}  // namespace skarvel

#endif  // SKARVEL_CLI_USAGE_H_
