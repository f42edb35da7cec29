// Shared pieces of the protocol unit tests: a client on the in-memory device
// and the virtual clock, sinks that record what the client logs, a scripted
// device side (deliver one device frame, get back exactly what the client wrote
// and slept in answer), image builders and a bitwise CRC-32 reference.
//
// Every fixture resets the module-level receive and streaming state, so the
// tests do not depend on their order.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/fake_clock.h"
#include "common/log_sink.h"
#include "protocol/cSerialClient1.h"
#include "protocol/transfer_observer.h"
#include "tests/support/fake_serial_device.h"

namespace t42rm::unit {

using Bytes = std::vector<uint8_t>;

// --- Byte building ---
Bytes Concat(std::initializer_list<Bytes> parts);
Bytes Filled(size_t count, uint8_t value);
Bytes Le32(uint32_t value);
// Bytes whose every aligned 4-byte group is its own offset, little-endian:
// never 0xFF at an aligned position, and a block names its own offset.
Bytes PositionPattern(size_t count);
// A device frame: FD, byte1, words 1-4 high byte first, C5 8D.
Bytes DeviceFrame(uint16_t code, uint16_t status = 0, uint16_t word3 = 0, uint16_t word4 = 0,
                  uint8_t byte1 = 0x5A);
// The client's BlockHeader / ImageCrc frame for a CRC: bytes 6-9 are CRC bits
// 16-23, 24-31, 0-7, 8-15.
Bytes CrcFrame(uint16_t code, uint32_t crc);
// An Upb image: a 64-byte header (no 0xFF in it), the payload, the CRC-32 of
// both as a little-endian trailer.
Bytes MakeQlb(const Bytes& payload);
// The 8192 bytes at offset of image, zero beyond its end.
Bytes BlockAt(const Bytes& image, size_t offset);
// Four bytes to append to prefix so that the CRC-32 of the whole is target.
Bytes ForceCrc(const Bytes& prefix, uint32_t target);

// Bitwise CRC-32 (reflected, 0xEDB88320), written apart from the product's
// table-driven one; len bytes from offset, zero beyond the end of data.
uint32_t ReferenceCrc32(const Bytes& data, size_t offset, size_t len);
inline uint32_t ReferenceCrc32(const Bytes& data) { return ReferenceCrc32(data, 0, data.size()); }

// --- Recording sinks ---
struct LogLine {
  int level;
  std::string text;
  bool operator==(const LogLine&) const = default;
};
void PrintTo(const LogLine& line, std::ostream* os);

class RecordingSinks : public LogSink, public DebugSink {
 public:
  void WriteLine(int level, std::string_view line) override { lines.push_back({level, std::string(line)}); }
  void Trace(std::string_view text) override { traces.emplace_back(text); }
  std::vector<LogLine> At(int level) const;
  std::vector<LogLine> lines;
  std::vector<std::string> traces;
};

struct Rejection {
  RejectReason reason;
  uint32_t stored;
  uint32_t computed;
};

class RecordingObserver : public TransferObserver {
 public:
  void OnImageRejected(RejectReason reason, uint32_t stored, uint32_t computed,
                       const std::string&) override {
    rejections.push_back({reason, stored, computed});
  }
  std::vector<Rejection> rejections;
};

struct TestOwner : ClientOwner {};

// What the client did in answer to one call: its result, each write, and the
// writes and sleeps in order ("W" a write, "S<ms>" a sleep, space-separated).
struct Exchange {
  int result = 0;
  std::vector<Bytes> writes;
  std::string timeline;
  long long elapsedMs = 0;
};

// The timeline of one data block: header, 20 ms, then eight 1024-byte writes
// 140 ms apart, each write followed by SendBytes' 10 ms.
inline constexpr const char* kDataBlockTimeline =
    "W S10 S20 W S10 S140 W S10 S140 W S10 S140 W S10 S140 W S10 S140 W S10 S140 W S10 S140 "
    "W S10";
inline constexpr const char* kSingleWriteTimeline = "W S10";

// A block as it appeared on the wire.
struct SentBlock {
  bool blank = false;
  Bytes header;
  Bytes data;  // the 8192 bytes after a data block's header
};
// The block an exchange sent, or nothing if the writes are not one block.
std::optional<SentBlock> AsBlock(const Exchange& exchange);

class ClientFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

 public:
  // Runs op and records what it wrote and slept.
  Exchange Run(const std::function<int()>& op);
  // The device side: hands bytes to OnReceive in one hand-off.
  Exchange Deliver(const Bytes& bytes);
  Exchange Deliver(uint16_t code, uint16_t status = 0) { return Deliver(DeviceFrame(code, status)); }

  // Writes an image file into this test's folder and records it in the job.
  std::filesystem::path WriteImage(const Bytes& bytes, const std::string& name = "image.bin");
  void ClearLog() { sinks.lines.clear(); sinks.traces.clear(); }

  FakeClock clock;
  std::shared_ptr<testing::FakeSerialDevice::Shared> wire;
  std::unique_ptr<cSerialClient1> client;  // on the heap: an overrun leaves the object
  TestOwner owner;
  RecordingSinks sinks;
  RecordingObserver observer;
  std::filesystem::path folder;

 private:
  std::string timeline_;
  size_t writesSeen_ = 0;
};

}  // namespace t42rm::unit
