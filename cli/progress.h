// What the user sees of a transfer: a meter that counts blocks, bytes and time,
// and the views that show it (a bar on a terminal, one line per 10 % otherwise,
// only the final line with --quiet, JSON lines for scripts).
//
// Threads: a meter and a view belong to the thread that runs the transfer
// (the user thread); nothing here locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/upgrade_types.h"
#include "protocol/transfer_observer.h"

namespace t42rm::cli {

using SteadyTime = std::chrono::steady_clock::time_point;

// Counts the blocks of one transfer and estimates the time left from the plan
// (which blocks are blank) and the time blocks of each kind have taken so far.
class ProgressMeter {
 public:
  // blankPlan: one entry per block the device will ask for, in order.
  ProgressMeter(std::vector<bool> blankPlan, SteadyTime start);

  void SetExpected(uint32_t blocks) { expected_ = blocks; }
  void OnBlock(SteadyTime at, uint32_t index, bool blank, bool repeat);

  uint32_t Expected() const { return expected_; }
  // Blocks up to and including the furthest one sent.
  uint32_t Done() const { return done_; }
  uint32_t Sent() const { return sent_; }  // every block frame, repeats included
  uint32_t Repeats() const { return repeats_; }
  uint32_t Blanks() const { return blanks_; }
  uint64_t BytesSent() const { return bytes_; }  // block data on the wire
  int Percent() const;
  double Elapsed(SteadyTime now) const;
  double BytesPerSecond(SteadyTime now) const;
  // Seconds until the last block is out; never negative.
  double SecondsLeft() const;

  // What a block costs before one of its kind has been timed: the client's
  // fixed pauses plus the reader's settle before the device's next request.
  static double DataBlockEstimate();
  static double BlankBlockEstimate();

 private:
  std::vector<bool> plan_;
  SteadyTime start_;
  SteadyTime last_;
  uint32_t expected_ = 0;
  uint32_t done_ = 0;
  uint32_t sent_ = 0;
  uint32_t repeats_ = 0;
  uint32_t blanks_ = 0;
  uint64_t bytes_ = 0;
  double dataSeconds_ = 0;
  uint32_t dataTimed_ = 0;
  double blankSeconds_ = 0;
  uint32_t blankTimed_ = 0;
};

std::string FormatBytes(uint64_t bytes);  // "812 B", "32.0 KiB", "1.6 MiB"
std::string FormatClock(double seconds);  // "0:07", "12:30", "1:02:03"

// "[########------------]  96/192 blocks  32.0 KiB  7.1 KiB/s  0:07 left"
std::string RenderBar(const ProgressMeter& meter, SteadyTime now, int width);
// "progress  50%: block 96 of 192, 32.0 KiB sent, 7.1 KiB/s, about 0:07 left"
std::string RenderProgressLine(const ProgressMeter& meter, SteadyTime now);

struct SessionInfo {
  std::string port;
  std::string image;  // as given on the command line
  UpgradeMode mode = 0;
  int64_t size = 0;
  uint32_t blocks = 0;      // planned
  uint32_t dataBlocks = 0;  // planned, not blank
};

struct BlockEvent {
  uint32_t offset = 0;
  uint32_t index = 0;
  bool blank = false;
  bool repeat = false;
  uint32_t crc = 0;
};

struct Outcome {
  int exitStatus = 0;
  std::string message;  // failures: the one line that says what went wrong
  uint32_t imageCrc = 0;
  double seconds = 0;
};

class ProgressView {
 public:
  virtual ~ProgressView() = default;
  virtual void Begin(const SessionInfo& /*info*/) {}
  virtual void StartFrameSent(UpgradeMode /*mode*/, int32_t /*size*/) {}
  virtual void Staged(const StagedImage& /*image*/) {}
  virtual void Block(const BlockEvent& /*block*/, const ProgressMeter& /*meter*/) {}
  virtual void Tick(const ProgressMeter& /*meter*/) {}
  virtual void Note(const std::string& /*text*/) {}
  // The last call: success (exit 0) or failure.
  virtual void End(const Outcome& outcome, const ProgressMeter* meter) = 0;
};

struct Console {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  bool errIsTerminal = false;
};

enum class ViewKind { kAuto, kQuiet, kJson };
std::unique_ptr<ProgressView> MakeView(ViewKind kind, const Console& console);

}  // namespace t42rm::cli
