#include "cli/flash_session.h"

#include <cstdio>
#include <filesystem>

#include "cli/exit_status.h"
#include "cli/image_mode.h"
#include "cli/port_errors.h"
#include "cli/trace_log.h"
#include "protocol/streaming_state.h"

namespace t42rm::cli {
namespace {

SteadyTime Now() { return std::chrono::steady_clock::now(); }

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", s);
  return text;
}

std::vector<bool> BlankPlan(const ImageReport& plan) {
  std::vector<bool> blank;
  blank.reserve(plan.blocks.size());
  for (const StreamedBlock& b : plan.blocks) blank.push_back(b.blank);
  return blank;
}

}  // namespace

// The client's transfer events, on the user thread.
class FlashSession::Events final : public TransferObserver {
 public:
  explicit Events(FlashSession& s) : s_(s) {}

  void OnStartFrameSent(UpgradeMode mode, int32_t size) override {
    s_.lastHeard_ = Now();
    s_.view_.StartFrameSent(mode, size);
  }
  void OnFrameReceived(const FrameHeader& /*header*/) override { s_.lastHeard_ = Now(); }
  void OnImageStaged(const StagedImage& image) override {
    s_.meter_.SetExpected(image.blocksExpected);
    s_.view_.Staged(image);
  }
  void OnBlockSent(uint32_t offset, uint32_t index, bool blank, bool repeat,
                   uint32_t crc) override {
    // A data block holds this thread for over a second: the device's silence
    // is counted from the end of the writes, not from its last request.
    const SteadyTime now = Now();
    s_.lastHeard_ = now;
    s_.meter_.OnBlock(now, index, blank, repeat);
    s_.view_.Block({offset, index, blank, repeat, crc}, s_.meter_);
  }
  void OnImageCrcSent(uint32_t crc) override { s_.Finish(kExitDone, {}, crc); }
  void OnImageRejected(RejectReason reason, uint32_t stored, uint32_t computed,
                       const std::string& detail) override {
    std::string text = std::string("the image was refused while staging it: ") +
                       RejectReasonText(reason) + " (" + detail + ")";
    if (reason == RejectReason::kStoredCrcMismatch) {
      char crcs[64];
      std::snprintf(crcs, sizeof crcs, "; stored %08x, computed %08x", stored, computed);
      text += crcs;
    }
    s_.Finish(kExitImageRefused, text + "; did the file change?");
  }
  void OnPortNotOpen() override {
    s_.Finish(kExitDeviceLost, "the port is no longer open " + s_.Where());
  }
  void OnDeviceLost(const std::string& detail) override {
    s_.Finish(kExitDeviceLost,
              "device lost " + s_.Where() + ": " + detail + " (unplugged or powered off?)");
  }
  void OnProtocolError(const std::string& line) override {
    s_.view_.Note("device frame not used: " + line);
  }

 private:
  FlashSession& s_;
};

FlashSession::FlashSession(ProgressView& view, LogSink* trace)
    : view_(view), events_(std::make_unique<Events>(*this)), meter_({}, Now()) {
  // The streaming state is the program's; a session starts from scratch.
  ResetStreamingState();
  m_pOwner = this;
  SetExecutor(&loop_);
  SetObserver(events_.get());
  SetLogSink(trace);
}

FlashSession::~FlashSession() {
  CloseLink();
  SetObserver(nullptr);
}

void FlashSession::Finish(int exitStatus, std::string message, uint32_t crc) {
  if (finished_) return;
  finished_ = true;
  outcome_.exitStatus = exitStatus;
  outcome_.message = std::move(message);
  outcome_.imageCrc = crc;
  loop_.Quit();
}

std::string FlashSession::Where() const {
  if (meter_.Sent() == 0) return "after the start frame";
  return "after block " + std::to_string(meter_.Done()) + " of " +
         std::to_string(meter_.Expected());
}

Outcome FlashSession::Run(const std::string& port, const std::string& image, UpgradeMode mode,
                          const ImageReport& plan, double timeoutSeconds,
                          const std::function<int()>& interrupted) {
  const SteadyTime start = Now();
  meter_ = ProgressMeter(BlankPlan(plan), start);
  auto done = [&] {
    outcome_.seconds = std::chrono::duration<double>(Now() - start).count();
    return outcome_;
  };

  if (const int sig = interrupted ? interrupted() : 0) {
    Finish(kExitInterruptBase + sig, "interrupted before the port was opened");
    return done();
  }
  if (!OpenLink(PortSettings{}, port)) {
    Finish(kExitPortFailed, DescribeOpenFailure(port, LastOpenFailure(), LastOpenError()));
    return done();
  }
  std::error_code ec;
  const std::filesystem::path full = std::filesystem::absolute(image, ec);
  m_job.nMode = mode;
  m_job.szFullPath = ec ? image : full.string();
  m_job.szFileName = std::filesystem::path(image).filename().string();
  m_job.nFileSize = static_cast<int32_t>(plan.size);
  view_.Begin({port, image, mode, plan.size, plan.BlocksToSend(), plan.DataBlocks()});

  lastHeard_ = Now();
  switch (StartTransfer()) {
    case StartOutcome::kStarted:
      break;
    case StartOutcome::kUnreadable:
      Finish(kExitImageRefused, "image file cannot be opened any more: " + m_job.szFullPath);
      break;
    case StartOutcome::kNotSent:
      Finish(kExitDeviceLost, "the start frame could not be sent: the port is not open");
      break;
    case StartOutcome::kBadMode:
    case StartOutcome::kNoOwner:
      Finish(kExitUsage, "no transfer start for mode " + std::to_string(mode));
      break;
  }

  const auto slice = std::chrono::milliseconds(100);
  const auto timeout = std::chrono::duration<double>(timeoutSeconds);
  while (!finished_) {
    loop_.RunFor(slice);
    if (finished_) break;
    if (const int sig = interrupted ? interrupted() : 0) {
      Finish(kExitInterruptBase + sig,
             std::string("interrupted ") + Where() + "; the port was closed");
      break;
    }
    if (Now() - lastHeard_ > timeout) {
      Finish(kExitDeviceSilent,
             "no answer from the device for " + Seconds(timeoutSeconds) + " " + Where());
      break;
    }
    view_.Tick(meter_);
  }
  // Clears DTR and closes; the reader thread is joined first.
  CloseLink();
  return done();
}

int RunFlash(const FlashOptions& o, ProgressView& view, const std::function<int()>& interrupted) {
  auto fail = [&view](int status, std::string message) {
    view.End({status, std::move(message), 0, 0}, nullptr);
    return status;
  };
  const ModeChoice choice = ChooseMode(o.image, o.mode, o.force);
  if (!choice.mode) return fail(kExitImageRefused, choice.error);
  if (!choice.warning.empty()) view.Note(choice.warning);

  const ImageReport plan = InspectImage(o.image, choice.mode);
  if (!plan.Accepted())
    return fail(kExitImageRefused, "image refused: " + o.image + ": " +
                                       ImageProblemText(plan.problem) + " (" + plan.detail + ")");

  TraceLog trace;
  if (!o.trace.empty() && !trace.Open(o.trace)) return fail(kExitUsage, trace.error());

  FlashSession session(view, o.trace.empty() ? nullptr : &trace);
  const Outcome outcome =
      session.Run(o.port, o.image, choice.mode, plan, o.timeoutSeconds, interrupted);
  view.End(outcome, &session.Meter());
  return outcome.exitStatus;
}

}  // namespace t42rm::cli
