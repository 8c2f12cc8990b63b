// Telling a run of bytes that are all zeros: a grain that needs no storing.
#ifndef SKARVEL_BASE_ZEROS_H_
#define SKARVEL_BASE_ZEROS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace skarvel {

// True when every byte is 0: the first is, and each equals the next (one
// memcmp, which compares in words).
inline bool allZeros(const uint8_t* bytes, size_t length) {
  return length == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, length - 1) == 0);
}

}  // namespace skarvel

#endif  // SKARVEL_BASE_ZEROS_H_
