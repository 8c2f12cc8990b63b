// Little-endian integers in byte buffers, whatever the host's byte order.
//
// Every integer of the image format is stored little-endian; values are
// assembled byte by byte so that neither alignment nor host order matters.
#ifndef SKARVEL_BASE_BYTE_ORDER_H_
#define SKARVEL_BASE_BYTE_ORDER_H_

#include <cstdint>

namespace skarvel {

inline void putLittleEndian32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void putLittleEndian64(uint8_t* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint16_t getLittleEndian16(const uint8_t* in) {
  return static_cast<uint16_t>(in[0] | in[1] << 8);
}

inline uint32_t getLittleEndian32(const uint8_t* in) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

inline uint64_t getLittleEndian64(const uint8_t* in) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

// Big-endian forms, for formats that store their fields so (the VHD footer).
inline void putBigEndian(uint8_t* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) out[i] = static_cast<uint8_t>(value);
}
inline uint64_t getBigEndian(const uint8_t* in, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | in[i];
  return value;
}

}  // namespace skarvel

#endif  // SKARVEL_BASE_BYTE_ORDER_H_
