// CRC-32 used by every checksum of the system: the standard reflected CRC-32
// (polynomial 0xEDB88320, initial value 0xFFFFFFFF, result complemented).
// Pure functions, callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace t42rm {

// CRC-32 of `len` bytes at `data` (null allowed when len is 0).
uint32_t Crc32(const uint8_t* data, size_t len);
inline uint32_t Crc32(std::span<const uint8_t> bytes) { return Crc32(bytes.data(), bytes.size()); }

// Incremental form: start with kCrc32Init, feed ranges, finish with Crc32Final.
inline constexpr uint32_t kCrc32Init = 0xFFFFFFFFu;
uint32_t Crc32Update(uint32_t state, const uint8_t* data, size_t len);
inline uint32_t Crc32Final(uint32_t state) { return ~state; }

}  // namespace t42rm
