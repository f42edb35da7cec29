// How one device frame goes onto the line, with the faults asked for that
// frame: PlanFrameWrites turns a frame into the writes (and pauses) that carry
// it, FrameWriter puts them on the line, byte by byte on a slow line.
//
// Every fault keeps the frame deliverable to a client that reads as the
// T42RM client does: garbage holds no 0xFD (the reader drops bytes in front of
// a start byte); a header with a wrong end mark is followed by enough frames
// of an unknown code that the client's purge (every eleventh packet-code
// error) has emptied its assembly buffer before the real frame comes, whatever
// its error count was.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/clock.h"
#include "platform/serial_device.h"
#include "sim/device_protocol.h"

namespace t42rm::sim {

// Packet-code errors after which the client empties its assembly buffer.
inline constexpr int kClientPurgeErrors = 11;

struct FaultTuning {
  std::vector<uint8_t> garbage{0x00, 0x55, 0xAA, 0xC9, 0x8D, 0xC5, 0xFF};  // no 0xFD
  uint16_t unknownCode = kCodeReqRebooting;  // 0x1002: not a device frame code
  size_t splitAt = 5;                        // first part of a split frame
  int splitPauseMs = 30;
};

// Faults applied to one frame. Written in this order: the purge run, the
// unknown-code frame, the bad-end-mark frame and its fillers, then one write of
// garbage + (DevUpgradeQuery) + the frame, cut in two when split.
struct FrameFaults {
  bool purgeErrors = false;  // kClientPurgeErrors unknown-code frames first
  bool unknownCode = false;  // one unknown-code frame first
  bool badEndMark = false;   // the frame with its end mark as 8D C5, then fillers
  bool garbage = false;      // garbage bytes in front of the frame, same write
  bool twoInOne = false;     // a DevUpgradeQuery and the frame in one write
  bool split = false;        // the frame in two writes, a pause between
  bool Any() const {
    return purgeErrors || unknownCode || badEndMark || garbage || twoInOne || split;
  }
};

struct WriteSegment {
  std::vector<uint8_t> bytes;
  int pauseAfterMs = 0;
  bool operator==(const WriteSegment&) const = default;
};

std::vector<WriteSegment> PlanFrameWrites(const DeviceFrame& frame, const FrameFaults& faults,
                                          const FaultTuning& tuning);

// Writes on the caller's thread; sleeps on the Clock. Not thread-safe.
class FrameWriter {
 public:
  // byteGapMs > 0: a slow line, every byte its own write, byteGapMs apart.
  FrameWriter(SerialDevice& line, Clock& clock, int byteGapMs = 0)
      : line_(line), clock_(clock), byteGapMs_(byteGapMs) {}

  // False as soon as the line takes fewer bytes than given. On a slow line
  // the gap separates the bytes of one call, pauses come on top.
  bool Write(std::span<const uint8_t> bytes);
  bool Write(const std::vector<WriteSegment>& segments);

 private:
  bool WriteBytes(std::span<const uint8_t> bytes, bool& first);

  SerialDevice& line_;
  Clock& clock_;
  int byteGapMs_;
};

}  // namespace t42rm::sim
