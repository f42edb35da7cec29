// Byte-order helpers. Frames are built and read byte by byte through these;
// no struct is ever cast onto wire bytes.
#pragma once

#include <cstdint>

namespace t42rm {

inline void put_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le32(uint8_t* p, uint32_t v) {
  put_le16(p, static_cast<uint16_t>(v));
  put_le16(p + 2, static_cast<uint16_t>(v >> 16));
}
inline void put_be16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline uint16_t get_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t get_le32(const uint8_t* p) {
  return static_cast<uint32_t>(get_le16(p)) | (static_cast<uint32_t>(get_le16(p + 2)) << 16);
}
inline uint16_t get_be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

}  // namespace t42rm
