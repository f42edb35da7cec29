#include "common/base_global.h"

#include <array>

namespace t42rm {
namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1u) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

uint32_t Crc32Update(uint32_t state, const uint8_t* data, size_t len) {
  for (size_t i = 0; i < len; ++i) state = kTable[(state ^ data[i]) & 0xFFu] ^ (state >> 8);
  return state;
}

uint32_t Crc32(const uint8_t* data, size_t len) {
  return Crc32Final(Crc32Update(kCrc32Init, data, len));
}

}  // namespace t42rm
