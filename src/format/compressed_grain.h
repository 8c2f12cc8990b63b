// The grains of a stream-optimized extent: zlib streams (RFC 1950), inflated
// with libdeflate where it was found, with zlib otherwise.
#ifndef SKARVEL_FORMAT_COMPRESSED_GRAIN_H_
#define SKARVEL_FORMAT_COMPRESSED_GRAIN_H_

#include <cstdint>
#include <optional>

#include "format/units.h"

namespace skarvel {

// The longest stream a grain marker may announce. zlib stores 64 KiB in a
// little more (stored blocks cost 5 bytes per 16 KiB); twice a grain leaves
// room for any encoder and keeps a damaged length from asking for gigabytes.
constexpr uint32_t kMaxCompressedGrainBytes = 2 * kGrainBytes;

// Inflates the complete zlib stream of |streamBytes| bytes at |stream| into
// |out|, which has room for |capacity| bytes. Returns the inflated length, or
// nothing when the stream is damaged, ends early, or would inflate to more
// than |capacity| bytes. Bytes after the end of the stream are ignored.
std::optional<uint32_t> inflateGrain(const uint8_t* stream, uint32_t streamBytes, uint8_t* out,
                                     uint32_t capacity);

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_COMPRESSED_GRAIN_H_
