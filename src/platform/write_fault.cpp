// The write allowance behind failWritesAfter, shared by both file layers.
#include <atomic>

#include "platform/file.h"

namespace skarvel::platform {

namespace {
// Another thread may set it while writes are counted (a watchdog ending a
// command that ran out of time).
std::atomic<uint64_t> writesLeft{kNoWriteFault};
}  // namespace

void failWritesAfter(uint64_t writes) { writesLeft = writes; }

bool writeAllowed() {
  uint64_t left = writesLeft.load();
  do {
    if (left == kNoWriteFault) return true;
    if (left == 0) return false;
  } while (!writesLeft.compare_exchange_weak(left, left - 1));
  return true;
}

}  // namespace skarvel::platform
