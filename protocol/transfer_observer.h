// Events of a transfer, for front ends (progress bar, status line, JSON lines).
// Called on the user thread, from inside the client's operations; an observer
// must not call back into the client. Every method has an empty default.
#pragma once

#include <cstdint>
#include <string>

#include "common/upgrade_types.h"

namespace t42rm {

enum class RejectReason {
  kStoredCrcMismatch,  // firmware image whose trailer does not match
  kUnreadable,         // the file cannot be opened
  kSizeOutOfRange,     // negative, or above kMaxImageSize
  kTooShort,           // firmware image shorter than header and trailer
  kShortRead,          // the file yields fewer bytes than its recorded size
  kNoMemory,           // the staging buffer cannot be had
};
const char* RejectReasonText(RejectReason reason);

struct StagedImage {
  UpgradeMode mode = 0;         // from the start answer's code
  uint32_t size = 0;            // the job's size
  uint32_t firstOffset = 0;     // offset of the first block
  uint32_t bufferLength = 0;    // whole blocks, covering every CRC region
  uint32_t blocksExpected = 0;  // blocks from firstOffset to the buffer's end
  uint32_t imageCrc = 0;        // the overall CRC the device will be told
};

enum class StartOutcome {
  kStarted,      // start frame sent, transfer active
  kNoOwner,      // no owner window/job
  kUnreadable,   // image cannot be opened: transfer not started
  kNotSent,      // port not open: flag set, nothing sent
  kBadMode,      // mode outside 1..4: flag set, nothing sent
};

class TransferObserver {
 public:
  virtual ~TransferObserver() = default;
  virtual void OnStartFrameSent(UpgradeMode /*mode*/, int32_t /*size*/) {}
  virtual void OnFrameReceived(const FrameHeader& /*header*/) {}
  virtual void OnImageStaged(const StagedImage& /*image*/) {}
  // index: block number counted from the mode's first block.
  virtual void OnBlockSent(uint32_t /*offset*/, uint32_t /*index*/, bool /*blank*/,
                           bool /*repeat*/, uint32_t /*crc*/) {}
  virtual void OnImageCrcSent(uint32_t /*crc*/) {}
  virtual void OnImageRejected(RejectReason /*reason*/, uint32_t /*storedCrc*/,
                               uint32_t /*computedCrc*/, const std::string& /*detail*/) {}
  virtual void OnPortNotOpen() {}
  virtual void OnDeviceLost(const std::string& /*detail*/) {}
  // A device frame that could not be used (bad end mark, unknown code,
  // a block request with nothing staged).
  virtual void OnProtocolError(const std::string& /*line*/) {}
};

}  // namespace t42rm
