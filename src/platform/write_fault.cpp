// The write allowance behind failWritesAfter, shared by both file layers.
#include "platform/file.h"

namespace skarvel::platform {

namespace {
uint64_t writesLeft = kNoWriteFault;
}  // namespace

void failWritesAfter(uint64_t writes) { writesLeft = writes; }

bool writeAllowed() {
  if (writesLeft == kNoWriteFault) return true;
  if (writesLeft == 0) return false;
  --writesLeft;
  return true;
}

}  // namespace skarvel::platform
