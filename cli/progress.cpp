#include "cli/progress.h"

#include <algorithm>
#include <cmath>

#include "cli/json_line.h"
#include "protocol/cSerialClient1.h"
#include "serial/receive_pump.h"

namespace t42rm::cli {

// --- Meter ---

ProgressMeter::ProgressMeter(std::vector<bool> blankPlan, SteadyTime start)
    : plan_(std::move(blankPlan)),
      start_(start),
      last_(start),
      expected_(static_cast<uint32_t>(plan_.size())) {}

double ProgressMeter::DataBlockEstimate() {
  using C = cSerialClient1;
  const int ms = C::kSendPauseMs + C::kBlockHeaderPauseMs + kBlockWrites * C::kSendPauseMs +
                 (kBlockWrites - 1) * C::kBlockWritePauseMs + ReceivePump::kSettleMs;
  return ms / 1000.0;
}

double ProgressMeter::BlankBlockEstimate() {
  return (cSerialClient1::kSendPauseMs + ReceivePump::kSettleMs) / 1000.0;
}

void ProgressMeter::OnBlock(SteadyTime at, uint32_t index, bool blank, bool repeat) {
  const double took = std::chrono::duration<double>(at - last_).count();
  last_ = at;
  ++sent_;
  if (repeat) ++repeats_;
  if (blank) {
    ++blanks_;
    blankSeconds_ += took;
    ++blankTimed_;
  } else {
    bytes_ += kBlockSize;
    dataSeconds_ += took;
    ++dataTimed_;
  }
  done_ = std::max(done_, index + 1);
}

int ProgressMeter::Percent() const {
  if (expected_ == 0) return 0;
  return static_cast<int>(std::min<uint64_t>(100, uint64_t{done_} * 100 / expected_));
}

double ProgressMeter::Elapsed(SteadyTime now) const {
  return std::chrono::duration<double>(now - start_).count();
}

double ProgressMeter::BytesPerSecond(SteadyTime now) const {
  const double s = Elapsed(now);
  return s > 0 ? static_cast<double>(bytes_) / s : 0;
}

double ProgressMeter::SecondsLeft() const {
  const double data = dataTimed_ ? dataSeconds_ / dataTimed_ : DataBlockEstimate();
  const double blank = blankTimed_ ? blankSeconds_ / blankTimed_ : BlankBlockEstimate();
  double left = 0;
  for (uint32_t i = done_; i < expected_; ++i) left += i < plan_.size() && plan_[i] ? blank : data;
  return left;
}

// --- Text ---

std::string FormatBytes(uint64_t bytes) {
  char text[32];
  if (bytes < 1024)
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  else if (bytes < 1024 * 1024)
    std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
  else
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
  return text;
}

std::string FormatClock(double seconds) {
  const long s = std::lround(std::max(0.0, seconds));
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

std::string RenderBar(const ProgressMeter& meter, SteadyTime now, int width) {
  const uint32_t total = std::max<uint32_t>(meter.Expected(), 1);
  const int filled = static_cast<int>(uint64_t{std::min(meter.Done(), total)} * width / total);
  std::string bar = "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]";
  char text[160];
  std::snprintf(text, sizeof text, " %3d%%  %u/%u blocks  %s  %s/s  %s left", meter.Percent(),
                meter.Done(), meter.Expected(), FormatBytes(meter.BytesSent()).c_str(),
                FormatBytes(static_cast<uint64_t>(meter.BytesPerSecond(now))).c_str(),
                FormatClock(meter.SecondsLeft()).c_str());
  return bar + text;
}

std::string RenderProgressLine(const ProgressMeter& meter, SteadyTime now) {
  char text[200];
  std::snprintf(text, sizeof text, "progress %3d%%: block %u of %u, %s sent, %s/s, about %s left",
                meter.Percent(), meter.Done(), meter.Expected(),
                FormatBytes(meter.BytesSent()).c_str(),
                FormatBytes(static_cast<uint64_t>(meter.BytesPerSecond(now))).c_str(),
                FormatClock(meter.SecondsLeft()).c_str());
  return text;
}

namespace {

std::string Hex32(uint32_t v) {
  char text[12];
  std::snprintf(text, sizeof text, "%08x", v);
  return text;
}

SteadyTime Now() { return std::chrono::steady_clock::now(); }

// --- Human views: bar, 10 % lines, quiet ---

class HumanView final : public ProgressView {
 public:
  enum class Style { kBar, kLines, kQuiet };
  HumanView(const Console& console, Style style) : c_(console), style_(style) {}

  void Begin(const SessionInfo& info) override {
    info_ = info;
    if (style_ == Style::kQuiet) return;
    std::fprintf(c_.err, "flashing %s image %s (%lld bytes, %u blocks, %u with data) to %s\n",
                 ModeName(info.mode), info.image.c_str(), static_cast<long long>(info.size),
                 info.blocks, info.dataBlocks, info.port.c_str());
  }

  void Block(const BlockEvent& /*block*/, const ProgressMeter& meter) override {
    if (style_ == Style::kBar) {
      Draw(meter);
    } else if (style_ == Style::kLines) {
      const int tenth = meter.Percent() / 10;
      if (tenth > lastTenth_) {
        lastTenth_ = tenth;
        std::fprintf(c_.err, "%s\n", RenderProgressLine(meter, Now()).c_str());
      }
    }
  }

  void Tick(const ProgressMeter& meter) override {
    if (style_ == Style::kBar && drawn_) Draw(meter);
  }

  void Note(const std::string& text) override {
    if (style_ == Style::kQuiet) return;
    EndBarLine();
    std::fprintf(c_.err, "t42rm-upgrade: %s\n", text.c_str());
  }

  void End(const Outcome& o, const ProgressMeter* meter) override {
    if (meter && style_ == Style::kBar && drawn_) Draw(*meter);
    EndBarLine();
    if (o.exitStatus != 0) {
      std::fprintf(c_.err, "t42rm-upgrade: %s\n", o.message.c_str());
      return;
    }
    const uint32_t sent = meter ? meter->Sent() : 0;
    const uint32_t blanks = meter ? meter->Blanks() : 0;
    std::fprintf(c_.out,
                 "done: %s image %s (%lld bytes) sent to %s: %u blocks (%u with data, %u blank, "
                 "%u repeated) in %.1f s; image CRC-32 %s\n",
                 ModeName(info_.mode), info_.image.c_str(), static_cast<long long>(info_.size),
                 info_.port.c_str(), sent, sent - blanks, blanks, meter ? meter->Repeats() : 0,
                 o.seconds, Hex32(o.imageCrc).c_str());
    std::fflush(c_.out);
  }

 private:
  void Draw(const ProgressMeter& meter) {
    std::fprintf(c_.err, "\r%s\x1b[K", RenderBar(meter, Now(), 30).c_str());
    std::fflush(c_.err);
    drawn_ = true;
  }
  void EndBarLine() {
    if (!drawn_) return;
    std::fputc('\n', c_.err);
    drawn_ = false;
  }

  Console c_;
  Style style_;
  SessionInfo info_;
  bool drawn_ = false;
  int lastTenth_ = 0;
};

// --- JSON lines on stdout; failures also as a human line on stderr ---

class JsonView final : public ProgressView {
 public:
  explicit JsonView(const Console& console) : c_(console) {}

  void Begin(const SessionInfo& info) override {
    Emit(JsonLine("begin")
             .Str("port", info.port)
             .Str("image", info.image)
             .Str("mode", ModeName(info.mode))
             .Int("size", info.size)
             .Int("blocks_planned", info.blocks)
             .Int("data_blocks", info.dataBlocks));
  }
  void StartFrameSent(UpgradeMode mode, int32_t size) override {
    Emit(JsonLine("start_frame_sent").Str("mode", ModeName(mode)).Int("size", size));
  }
  void Staged(const StagedImage& s) override {
    Emit(JsonLine("staged")
             .Str("mode", ModeName(s.mode))
             .Int("size", s.size)
             .Int("first_offset", s.firstOffset)
             .Int("blocks_expected", s.blocksExpected)
             .Str("image_crc", Hex32(s.imageCrc)));
  }
  void Block(const BlockEvent& b, const ProgressMeter& meter) override {
    JsonLine line("block");
    line.Int("index", b.index)
        .Int("offset", b.offset)
        .Bool("blank", b.blank)
        .Bool("repeat", b.repeat);
    if (!b.blank) line.Str("crc", Hex32(b.crc));
    line.Int("done", meter.Done()).Int("expected", meter.Expected());
    Emit(line);
  }
  void Note(const std::string& text) override { Emit(JsonLine("warning").Str("message", text)); }
  void End(const Outcome& o, const ProgressMeter* meter) override {
    if (o.exitStatus == 0) {
      Emit(JsonLine("finished")
               .Int("exit", 0)
               .Str("crc", Hex32(o.imageCrc))
               .Int("blocks_sent", meter ? meter->Sent() : 0)
               .Int("repeats", meter ? meter->Repeats() : 0)
               .Real("seconds", o.seconds));
      return;
    }
    Emit(JsonLine("failed").Int("exit", o.exitStatus).Str("message", o.message));
    std::fprintf(c_.err, "t42rm-upgrade: %s\n", o.message.c_str());
  }

 private:
  void Emit(const JsonLine& line) {
    std::fprintf(c_.out, "%s\n", line.Text().c_str());
    std::fflush(c_.out);
  }
  Console c_;
};

}  // namespace

std::unique_ptr<ProgressView> MakeView(ViewKind kind, const Console& console) {
  switch (kind) {
    case ViewKind::kJson:
      return std::make_unique<JsonView>(console);
    case ViewKind::kQuiet:
      return std::make_unique<HumanView>(console, HumanView::Style::kQuiet);
    case ViewKind::kAuto:
      break;
  }
  return std::make_unique<HumanView>(
      console, console.errIsTerminal ? HumanView::Style::kBar : HumanView::Style::kLines);
}

}  // namespace t42rm::cli
