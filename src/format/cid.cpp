#include "format/cid.h"

#include <initializer_list>

namespace skarvel {

namespace {
uint32_t cidState = 1;  // the runtime's state before any seeding
}

void seedCid(uint32_t seed) { cidState = seed; }

uint32_t mixSeed(uint64_t seconds, uint64_t subSecond, uint32_t processId) {
  // Multiplying by an odd constant (the 64-bit golden ratio) carries low bits
  // up without losing any; each xor-shift folds the high bits back down.
  constexpr uint64_t kGoldenRatio = 0x9E3779B97F4A7C15u;
  uint64_t x = seconds;
  for (uint64_t part : {subSecond, uint64_t{processId}}) x = (x ^ (x >> 32)) * kGoldenRatio + part;
  x = (x ^ (x >> 32)) * kGoldenRatio;
  return static_cast<uint32_t>(x >> 32);
}

uint32_t nextCid() {
  cidState = cidState * 214013u + 2531011u;
  return (cidState >> 16) & kMaxCid;
}

}  // namespace skarvel
