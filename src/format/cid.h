// Content identifiers for new images.
//
// Every CID this program makes is the next value of one process-wide
// generator: the classic 15-bit linear congruential generator of the 32-bit
// Windows C runtime, so values run from 0 to 0x7FFF on every platform and the
// same seed gives the same sequence everywhere. The entry point seeds it once
// from the clock and the process id; nothing reseeds it.
#ifndef SKARVEL_FORMAT_CID_H_
#define SKARVEL_FORMAT_CID_H_

#include <cstdint>

namespace skarvel {

// Largest value nextCid() can return.
constexpr uint32_t kMaxCid = 0x7FFF;

void seedCid(uint32_t seed);

// A seed made of the moment a run starts: |seconds| since the epoch, the part
// of that second that has passed (|subSecond|, in any finer unit) and the
// process id. Every bit of each input reaches the low bits the generator's
// first values depend on, so that runs started in the same second, or at the
// same moment by different processes, seed differently.
uint32_t mixSeed(uint64_t seconds, uint64_t subSecond, uint32_t processId);

// state = state * 214013 + 2531011 (mod 2^32); value = (state >> 16) & 0x7FFF.
uint32_t nextCid();

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_CID_H_
