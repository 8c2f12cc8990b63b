#include "format/cid.h"

namespace skarvel {

namespace {
uint32_t cidState = 1;  // the runtime's state before any seeding
}

void seedCid(uint32_t seed) { cidState = seed; }

uint32_t nextCid() {
  cidState = cidState * 214013u + 2531011u;
  return (cidState >> 16) & kMaxCid;
}

}  // namespace skarvel
