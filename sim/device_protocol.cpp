#include "sim/device_protocol.h"

#include <algorithm>
#include <cstdio>

#include "common/byte_order.h"

namespace t42rm::sim {
namespace {

constexpr std::array<StartCode, 4> kStartCodes{{
    {kCodeReqUpgradeF, kCodeResUpgradeF, kModeFirmware},
    {kCodeReqUpgradeB, kCodeResUpgradeB, kModeBootAndFirmware},
    {kCodeReqUpgradeModule, kCodeResUpgradeModule, kModeModule},
    {kCodeReqUpgradeChannel, kCodeResUpgradeChannel, kModeChannel},
}};

uint64_t RoundUpToBlock(uint64_t n) {
  return (n + kBlockSize - 1) / kBlockSize * kBlockSize;
}

}  // namespace

DeviceFrame EncodeDeviceFrame(uint16_t code, uint16_t status, uint16_t word3, uint16_t word4) {
  DeviceFrame f{};
  f[0] = kFrameStartByte;
  f[1] = kDeviceByte1;
  put_be16(&f[2], code);
  put_be16(&f[4], status);
  put_be16(&f[6], word3);
  put_be16(&f[8], word4);
  put_be16(&f[10], kEndMark);
  return f;
}

ClientHeader DecodeClientHeader(std::span<const uint8_t, kHeaderSize> b) {
  ClientHeader h;
  h.marksOk = get_le16(&b[0]) == kStartMark && get_le16(&b[10]) == kEndMark;
  h.code = get_le16(&b[2]);
  h.status = get_le16(&b[4]);
  h.word3 = get_le16(&b[6]);
  h.word4 = get_le16(&b[8]);
  return h;
}

std::optional<StartCode> StartCodeForRequest(uint16_t code) {
  for (const auto& s : kStartCodes)
    if (s.request == code) return s;
  return std::nullopt;
}

std::optional<StartCode> StartCodeForMode(UpgradeMode mode) {
  for (const auto& s : kStartCodes)
    if (s.mode == mode) return s;
  return std::nullopt;
}

BlockPlan PlanBlocks(UpgradeMode mode, uint32_t size) {
  const uint64_t rounded = RoundUpToBlock(size);
  uint64_t first = 0, end = rounded, crc = size;
  switch (mode) {
    case kModeFirmware:
      first = kFirmwareFirstOffset;
      end = std::max<uint64_t>(rounded, uint64_t{kFirmwareFirstOffset} + kFirmwareCrcLength);
      crc = kFirmwareCrcLength;
      break;
    case kModeModule:
      end = std::max<uint64_t>(rounded, kModuleCrcLength);
      crc = kModuleCrcLength;
      break;
    default:  // boot loader and firmware, channel data: exactly the image
      break;
  }
  BlockPlan plan;
  plan.firstOffset = static_cast<uint32_t>(first);
  plan.blockCount = static_cast<uint32_t>((end - first) / kBlockSize);
  plan.crcLength = static_cast<uint32_t>(crc);
  return plan;
}

std::string HexBytes(std::span<const uint8_t> bytes, size_t maxBytes) {
  std::string s;
  const size_t shown = std::min(bytes.size(), maxBytes);
  for (size_t i = 0; i < shown; ++i) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
    if (i) s += ' ';
    s += buf;
  }
  if (shown < bytes.size()) s += " ... (" + std::to_string(bytes.size()) + " bytes)";
  return s;
}

}  // namespace t42rm::sim
