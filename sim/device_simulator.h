// The T42RM device's side of one upgrade, on one end of a serial line.
//
// Run() waits for the client's start frame, answers it (optionally after a
// DevUpgradeQuery and/or DevBootStart), asks for every block the mode streams,
// checks each block against the CRC-32 in its BlockHeader (a mismatch is asked
// again with status 192), then asks for the ImageCrc and compares it with the
// CRC-32 of the region it received. It returns when that one upgrade is over,
// or at the first fatal violation, timeout, hang-up or Cancel().
//
// Threads: Run() uses the line alone (reads and writes) on the calling thread;
// Cancel() may be called from any thread, also before or after Run(). The
// callbacks are called on Run()'s thread. The line and clock must outlive Run().
// All sleeps go through the Clock; timeouts are measured on it too.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "common/upgrade_types.h"
#include "platform/serial_device.h"
#include "sim/frame_writer.h"

namespace t42rm::sim {

// Faults name device frames by number: the simulator's own frames of the
// conversation in the order sent, from 1 (DevUpgradeQuery, DevBootStart, the
// start answer, each DevNextBlock, DevCrcRequest); frames a fault injects are
// not counted. Blocks are numbered from 0, the mode's first block, in the
// order the client streams them. A fault that never got its frame or block
// makes the verdict negative, so a test always exercises what it asked for.
struct SimulatorOptions {
  UpgradeMode expectedMode = 0;  // 0: any; otherwise another mode is refused
  int startTimeoutMs = 60000;    // for the start frame
  int replyTimeoutMs = 10000;    // for each answer, and silence inside a block
  int emptyImageWaitMs = 500;    // a mode with no block: how long to watch the line
  bool sendUpgradeQuery = false;  // DevUpgradeQuery before the start answer
  bool sendBootStart = false;     // DevBootStart before the start answer
  // Block index -> how many times to ask for it again, as if its CRC had
  // failed (the plain "repeat block k once" is {k, 1}).
  std::map<int, int> repeatBlocks;
  int maxMismatchesInARow = 5;  // real CRC mismatches of one block before giving up

  // Faults.
  std::optional<int> garbageBeforeFrame;
  std::optional<int> badEndMarkBeforeFrame;
  std::optional<int> splitFrame;
  std::optional<int> twoInOneFrame;
  std::optional<int> unknownCodeBeforeFrame;
  std::optional<int> purgeErrorsBeforeFrame;
  std::optional<int> restartAfterBlock;  // the start answer again after this block
  std::optional<int> silentAfterBlock;
  int silenceMs = -1;                // how long silent; negative: until Cancel()
  bool resumeAfterSilence = false;   // then go on with the upgrade instead of failing
  std::optional<int> hangUpAfterBlock;  // closes the line and returns
  int slowLineGapMs = 0;                // > 0: every device byte its own write
  FaultTuning tuning;

  std::function<void(std::string_view line)> onProgress;
  // Once, when the first byte from the client arrives (a pty owner may then
  // drop its own slave handle so that the client's close is seen as a hang-up).
  std::function<void()> onClientActive;
};

struct Violation {
  std::string what;            // e.g. "expected BlockHeader for block 2"
  std::vector<uint8_t> bytes;  // the offending bytes as received
  std::string Describe() const;  // what: FD C9 ...
};

struct SimResult {
  bool ok = false;
  std::string message;  // one line: why it failed, or what was done
  UpgradeMode mode = 0;  // of the start frame; 0 if none was read
  uint32_t imageSize = 0;
  std::optional<uint32_t> imageCrc;  // as the client reported it
  uint32_t computedCrc = 0;          // over the mode's CRC region as received
  int blocksReceived = 0;            // every block taken, repeats included
  int blanks = 0;                    // NON_DATA blocks among them
  int repeatsAsked = 0;              // DevNextBlock with status 192
  int crcMismatches = 0;             // blocks whose data failed their CRC
  int restarts = 0;                  // start answers sent again mid-stream
  bool regionComplete = false;       // every block of the mode was received
  std::vector<uint8_t> region;       // the CRC region, once complete
  std::vector<Violation> violations;

  // "verdict: ok mode=channel size=20000 blocks=3 repeats=0 crc=1a2b3c4d ..."
  // or "verdict: FAILED mode=... : <message>".
  std::string Summary() const;
};

class DeviceSimulator {
 public:
  DeviceSimulator(SerialDevice& line, Clock& clock, SimulatorOptions options);
  SimResult Run();
  void Cancel();

 private:
  SerialDevice& line_;
  Clock& clock_;
  SimulatorOptions options_;
  std::atomic<bool> cancelled_{false};
};

}  // namespace t42rm::sim
