// Compressing grains into the zlib streams (RFC 1950) that a stream-optimized
// extent stores behind its grain markers.
//
// Built with libdeflate where it was found (it compresses whole buffers
// much faster than zlib's streaming code), with zlib otherwise; both give
// streams any zlib inflater reads.
#ifndef SKARVEL_FORMAT_GRAIN_DEFLATER_H_
#define SKARVEL_FORMAT_GRAIN_DEFLATER_H_

#include <cstdint>
#include <vector>

namespace skarvel {

class GrainDeflater {
 public:
  // Holds the compressor's state, reused for every grain; one per thread.
  GrainDeflater();
  ~GrainDeflater();

  GrainDeflater(const GrainDeflater&) = delete;
  GrainDeflater& operator=(const GrainDeflater&) = delete;

  // Compresses the |length| bytes at |data| into one complete zlib stream,
  // which replaces the content of |out|. Returns false when the library
  // fails (out of memory); |out| is then empty.
  bool deflate(const uint8_t* data, uint32_t length, std::vector<uint8_t>& out);

 private:
  void* state_;
};

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_GRAIN_DEFLATER_H_
