#include "format/compressed_grain.h"

#ifdef SKARVEL_WITH_LIBDEFLATE
#include <libdeflate.h>

#include <memory>
#else
#include <zlib.h>
#endif

namespace skarvel {

#ifdef SKARVEL_WITH_LIBDEFLATE

namespace {

struct FreeDecompressor {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

}  // namespace

std::optional<uint32_t> inflateGrain(const uint8_t* stream, uint32_t streamBytes, uint8_t* out,
                                     uint32_t capacity) {
  // One decompressor per thread, made on first use and kept: whole grains
  // inflate several times faster here than through zlib's streaming code.
  thread_local std::unique_ptr<libdeflate_decompressor, FreeDecompressor> decompressor(
      libdeflate_alloc_decompressor());
  if (!decompressor) return std::nullopt;
  size_t consumed = 0, produced = 0;
  // Fails on a damaged stream, one that ends early, and one that needs more
  // room than |capacity|.
  if (libdeflate_zlib_decompress_ex(decompressor.get(), stream, streamBytes, out, capacity,
                                    &consumed, &produced) != LIBDEFLATE_SUCCESS) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(produced);
}

#else

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

#endif

}  // namespace skarvel
