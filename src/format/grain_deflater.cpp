#include "format/grain_deflater.h"

#ifdef SKARVEL_WITH_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

namespace skarvel {

namespace {

// zlib's default level: the size other writers of the format reach, at a
// fraction of the time of the highest levels.
constexpr int kLevel = 6;

}  // namespace

#ifdef SKARVEL_WITH_LIBDEFLATE

GrainDeflater::GrainDeflater() : state_(libdeflate_alloc_compressor(kLevel)) {}

GrainDeflater::~GrainDeflater() {
  libdeflate_free_compressor(static_cast<libdeflate_compressor*>(state_));
}

bool GrainDeflater::deflate(const uint8_t* data, uint32_t length, std::vector<uint8_t>& out) {
  auto* compressor = static_cast<libdeflate_compressor*>(state_);
  if (compressor == nullptr) {
    out.clear();
    return false;
  }
  out.resize(libdeflate_zlib_compress_bound(compressor, length));
  out.resize(libdeflate_zlib_compress(compressor, data, length, out.data(), out.size()));
  return !out.empty();
}

#else

GrainDeflater::GrainDeflater() : state_(new z_stream{}) {
  if (deflateInit(static_cast<z_stream*>(state_), kLevel) != Z_OK) {
    delete static_cast<z_stream*>(state_);
    state_ = nullptr;
  }
}

GrainDeflater::~GrainDeflater() {
  if (state_ == nullptr) return;
  deflateEnd(static_cast<z_stream*>(state_));
  delete static_cast<z_stream*>(state_);
}

bool GrainDeflater::deflate(const uint8_t* data, uint32_t length, std::vector<uint8_t>& out) {
  auto* z = static_cast<z_stream*>(state_);
  if (z == nullptr || deflateReset(z) != Z_OK) {
    out.clear();
    return false;
  }
  out.resize(deflateBound(z, length));
  z->next_in = const_cast<Bytef*>(data);
  z->avail_in = length;
  z->next_out = out.data();
  z->avail_out = static_cast<uInt>(out.size());
  // The bound guarantees that one call with Z_FINISH ends the stream.
  bool ended = ::deflate(z, Z_FINISH) == Z_STREAM_END;
  out.resize(ended ? out.size() - z->avail_out : 0);
  return ended;
}

#endif

}  // namespace skarvel
