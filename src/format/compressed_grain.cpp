#include "format/compressed_grain.h"

#include <zlib.h>

namespace skarvel {

std::optional<uint32_t> inflateGrain(const uint8_t* stream, uint32_t streamBytes, uint8_t* out,
                                     uint32_t capacity) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return std::nullopt;
  z.next_in = const_cast<Bytef*>(stream);
  z.avail_in = streamBytes;
  z.next_out = out;
  z.avail_out = capacity;
  // Z_STREAM_END only when the whole stream fitted; a stream that needs more
  // room, more input or is damaged stops with another code.
  int result = inflate(&z, Z_FINISH);
  uint32_t produced = capacity - z.avail_out;
  inflateEnd(&z);
  if (result != Z_STREAM_END) return std::nullopt;
  return produced;
}

}  // namespace skarvel
