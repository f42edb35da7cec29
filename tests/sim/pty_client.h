// The test plays the client by hand on the slave end of a pseudo-terminal:
// frames are written out byte by byte, the device's frames read back raw.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "common/base_global.h"
#include "common/clock.h"
#include "platform/serial_device.h"

namespace t42rm::sim::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Device frames as the client must see them (byte 1 is the simulator's 0x5A).
inline const Bytes kResUpgradeChannel{0xFD, 0x5A, 0x10, 0x43, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC5, 0x8D};
inline const Bytes kResUpgradeModule{0xFD, 0x5A, 0x10, 0x41, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC5, 0x8D};
inline const Bytes kDevNextBlock{0xFD, 0x5A, 0x10, 0x21, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC5, 0x8D};
inline const Bytes kDevNextBlockRepeat{0xFD, 0x5A, 0x10, 0x21, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0xC5, 0x8D};
inline const Bytes kDevCrcRequest{0xFD, 0x5A, 0x10, 0x23, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC5, 0x8D};
inline const Bytes kDevUpgradeQuery{0xFD, 0x5A, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC5, 0x8D};
inline const Bytes kDevBootStart{0xFD, 0x5A, 0x10, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC5, 0x8D};

// Client frames.
inline const Bytes kUpgrade{0xFD, 0xC9, 0x04, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5};
inline const Bytes kNonData{0xFD, 0xC9, 0x20, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5};

// ReqUpgradeChannel start frame for `size` (the size little-endian at 16..19).
inline Bytes ChannelStart(uint32_t size) {
  return {0xFD, 0xC9, 0x42, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
          0xFE, 0xC5, 0x00, 0x00, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
          static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24), 0x0D, 0xC9, 0x00, 0x00};
}

// BlockHeader / ImageCrc: CRC bits 16-23, 24-31, 0-7, 8-15 in bytes 6..9.
inline Bytes CrcFrame(uint8_t code, uint32_t crc) {
  return {0xFD, 0xC9, code, 0x10, 0x00, 0x00, static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24),
          static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8), 0x8D, 0xC5};
}
inline Bytes BlockHeader(uint32_t crc) { return CrcFrame(0x20, crc); }
inline Bytes ImageCrc(uint32_t crc) { return CrcFrame(0x23, crc); }

// A channel image: `size` bytes of a pattern.
inline Bytes PatternImage(size_t size) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
  return b;
}

// Block k of a channel image as the client streams it: zero-padded.
inline Bytes ChannelBlock(const Bytes& image, size_t k) {
  Bytes b(8192, 0);
  for (size_t i = 0; i < 8192 && k * 8192 + i < image.size(); ++i) b[i] = image[k * 8192 + i];
  return b;
}

// The client's end: the pty slave opened as a serial device.
class PtyClient {
 public:
  explicit PtyClient(SerialDevice& dev) : dev_(dev) {}

  void Send(const Bytes& bytes) {
    ASSERT_EQ(dev_.Write(bytes.data(), bytes.size(), 2000), bytes.size());
  }
  // BlockHeader with the block's CRC, then its 8192 bytes.
  void SendBlock(const Bytes& block) {
    Send(BlockHeader(Crc32(block)));
    Send(block);
  }
  // Exactly n bytes, or fewer if the device is silent for timeoutMs, hangs
  // up, or stop() says the device has finished and nothing is waiting.
  Bytes Receive(size_t n, int timeoutMs = 3000, const std::function<bool()>& stop = {}) {
    Bytes out;
    const auto deadline = MonotonicClock().Now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n && MonotonicClock().Now() < deadline) {
      const bool last = stop && stop();  // read once more after the device finished
      const WaitResult w = dev_.WaitForInput(last ? 0 : 50);
      if (last && w != WaitResult::kReady) break;
      if (w == WaitResult::kHangUp || w == WaitResult::kError) {
        hungUp_ = true;
        break;
      }
      if (w != WaitResult::kReady) continue;
      uint8_t buf[512];
      const long got = dev_.Read(buf, std::min(sizeof buf, n - out.size()));
      if (got < 0) {
        hungUp_ = true;
        break;
      }
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  bool hungUp() const { return hungUp_; }

 private:
  SerialDevice& dev_;
  bool hungUp_ = false;
};

}  // namespace t42rm::sim::testing
