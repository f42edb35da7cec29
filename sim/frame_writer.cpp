#include "sim/frame_writer.h"

#include <algorithm>

namespace t42rm::sim {
namespace {

constexpr int kWriteTimeoutMs = 2000;

void Append(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

std::vector<WriteSegment> PlanFrameWrites(const DeviceFrame& frame, const FrameFaults& faults,
                                          const FaultTuning& tuning) {
  std::vector<WriteSegment> plan;
  const DeviceFrame unknown = EncodeDeviceFrame(tuning.unknownCode);

  if (faults.purgeErrors) {
    WriteSegment run;
    for (int i = 0; i < kClientPurgeErrors; ++i) Append(run.bytes, unknown);
    plan.push_back(std::move(run));
  }
  if (faults.unknownCode) plan.push_back({{unknown.begin(), unknown.end()}});
  if (faults.badEndMark) {
    // The client keeps a header with a wrong end mark at the front of its
    // buffer and fails every later hand-off on it until its purge; the
    // fillers are errors either way, so the real frame that follows them
    // meets an empty buffer.
    WriteSegment bad{{frame.begin(), frame.end()}};
    bad.bytes[kHeaderSize - 2] = frame[kHeaderSize - 1];
    bad.bytes[kHeaderSize - 1] = frame[kHeaderSize - 2];
    for (int i = 1; i < kClientPurgeErrors; ++i) Append(bad.bytes, unknown);
    plan.push_back(std::move(bad));
  }

  std::vector<uint8_t> main;
  if (faults.garbage) Append(main, tuning.garbage);
  if (faults.twoInOne) Append(main, EncodeDeviceFrame(kCodeDevUpgradeQuery));
  const size_t frameStart = main.size();
  Append(main, frame);
  const size_t cut = frameStart + std::min(tuning.splitAt, frame.size());
  if (faults.split && cut > 0 && cut < main.size()) {
    plan.push_back({{main.begin(), main.begin() + static_cast<long>(cut)}, tuning.splitPauseMs});
    plan.push_back({{main.begin() + static_cast<long>(cut), main.end()}});
  } else {
    plan.push_back({std::move(main)});
  }
  return plan;
}

bool FrameWriter::WriteBytes(std::span<const uint8_t> bytes, bool& first) {
  if (byteGapMs_ <= 0) return line_.Write(bytes.data(), bytes.size(), kWriteTimeoutMs) == bytes.size();
  for (uint8_t b : bytes) {
    if (!first) clock_.SleepMs(byteGapMs_);
    first = false;
    if (line_.Write(&b, 1, kWriteTimeoutMs) != 1) return false;
  }
  return true;
}

bool FrameWriter::Write(std::span<const uint8_t> bytes) {
  bool first = true;
  return WriteBytes(bytes, first);
}

bool FrameWriter::Write(const std::vector<WriteSegment>& segments) {
  bool first = true;
  for (const auto& s : segments) {
    if (!WriteBytes(s.bytes, first)) return false;
    if (s.pauseAfterMs > 0) clock_.SleepMs(s.pauseAfterMs);
  }
  return true;
}

}  // namespace t42rm::sim
