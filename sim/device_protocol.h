// The device's side of the wire, written independently of the client: how the
// T42RM encodes its frames, how it reads the client's, and which blocks each
// upgrade mode streams. Pure functions, callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/upgrade_types.h"

namespace t42rm::sim {

using DeviceFrame = std::array<uint8_t, kHeaderSize>;

// Byte 1 of a device frame is not examined by the client; a value that is
// neither 0 nor the client's 0xC9 shows that it really is ignored.
inline constexpr uint8_t kDeviceByte1 = 0x5A;

// FD, kDeviceByte1, words 1..4 big-endian, then C5 8D (the end mark high byte
// first, the reverse of the client's order).
DeviceFrame EncodeDeviceFrame(uint16_t code, uint16_t status = 0, uint16_t word3 = 0,
                              uint16_t word4 = 0);

// A 12-byte header as the client sends it: every word little-endian.
struct ClientHeader {
  bool marksOk = false;  // FD C9 at the front and 8D C5 at the end
  uint16_t code = 0;
  uint16_t status = 0;
  uint16_t word3 = 0;
  uint16_t word4 = 0;
};
ClientHeader DecodeClientHeader(std::span<const uint8_t, kHeaderSize> bytes);

// The four start frames and the device's answers (start code + 1).
struct StartCode {
  uint16_t request;
  uint16_t answer;
  UpgradeMode mode;
};
std::optional<StartCode> StartCodeForRequest(uint16_t code);
std::optional<StartCode> StartCodeForMode(UpgradeMode mode);

// The blocks a mode streams and the region its overall CRC covers, both
// counted from the mode's first block. Firmware streams from 0x20000 up to at
// least 0x20000 + 0x180000 (192 blocks); module up to at least 0x40000; boot
// and channel up to the size rounded up to whole blocks.
struct BlockPlan {
  uint32_t firstOffset = 0;  // stream offset of block 0 in the client's buffer
  uint32_t blockCount = 0;
  uint32_t crcLength = 0;    // bytes from block 0 that the ImageCrc covers
};
BlockPlan PlanBlocks(UpgradeMode mode, uint32_t size);

// "FD C9 06 10", at most maxBytes shown, then "... (N bytes)".
std::string HexBytes(std::span<const uint8_t> bytes, size_t maxBytes = 48);

}  // namespace t42rm::sim
