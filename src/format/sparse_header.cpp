#include "format/sparse_header.h"

namespace skarvel {

namespace {

// Walks the record field by field in file order, so that encoding and
// decoding share one list of offsets and widths.
template <typename Bytes, typename Header, typename Visit32, typename Visit64, typename Visit8>
void visitFields(Bytes* bytes, Header& h, Visit32 v32, Visit64 v64, Visit8 v8) {
  v32(bytes + 0, h.magicNumber);
  v32(bytes + 4, h.version);
  v32(bytes + 8, h.flags);
  v64(bytes + 12, h.capacity);
  v64(bytes + 20, h.grainSize);
  v64(bytes + 28, h.descriptorOffset);
  v64(bytes + 36, h.descriptorSize);
  v32(bytes + 44, h.numGTEsPerGT);
  v64(bytes + 48, h.rgdOffset);
  v64(bytes + 56, h.gdOffset);
  v64(bytes + 64, h.overHead);
  v8(bytes + 72, h.uncleanShutdown);
  v8(bytes + 73, h.singleEndLineChar);
  v8(bytes + 74, h.nonEndLineChar);
  v8(bytes + 75, h.doubleEndLineChar1);
  v8(bytes + 76, h.doubleEndLineChar2);
}

}  // namespace

HeaderBytes encodeHeader(const SparseExtentHeader& header) {
  HeaderBytes bytes{};
  visitFields(
      bytes.data(), header, [](uint8_t* p, uint32_t v) { putLittleEndian32(p, v); },
      [](uint8_t* p, uint64_t v) { putLittleEndian64(p, v); },
      [](uint8_t* p, uint8_t v) { *p = v; });
  return bytes;
}

SparseExtentHeader decodeHeader(const HeaderBytes& bytes) {
  SparseExtentHeader header;
  visitFields(
      bytes.data(), header, [](const uint8_t* p, uint32_t& v) { v = getLittleEndian32(p); },
      [](const uint8_t* p, uint64_t& v) { v = getLittleEndian64(p); },
      [](const uint8_t* p, uint8_t& v) { v = *p; });
  return header;
}

}  // namespace skarvel
