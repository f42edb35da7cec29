// `flash`: one upgrade of a device on a serial port, as the dialog runs it
// (open the link, record the job, send the mode's start frame, then answer the
// device until the overall CRC is out), with the checks, timeout, interruption
// and reporting of the command line around it.
//
// Threads: RunFlash runs on the calling thread, which becomes the client's
// user thread: it runs every hand-off of the reader thread and every protocol
// step. interrupted may be polled from it at any time (non-zero: the signal).
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "cli/progress.h"
#include "common/log_sink.h"
#include "common/upgrade_types.h"
#include "protocol/cSerialClient1.h"
#include "protocol/image_check.h"
#include "serial/event_loop.h"

namespace t42rm::cli {

struct FlashOptions {
  std::string port;
  std::string image;
  std::optional<UpgradeMode> mode;  // none: from the image's extension
  double timeoutSeconds = 30;       // device silence that ends the transfer
  std::string trace;                // WriteLog lines to this file ("-": stderr)
  bool force = false;               // send an image whose extension contradicts the mode
};

// Returns the exit status (cli/exit_status.h); the view has been told the
// outcome when it returns.
int RunFlash(const FlashOptions& options, ProgressView& view,
             const std::function<int()>& interrupted);

// The client as the command line drives it: owner of its own job, observer of
// its own transfer.
class FlashSession final : public cSerialClient1, public ClientOwner {
 public:
  FlashSession(ProgressView& view, LogSink* trace);
  ~FlashSession() override;

  // Runs the transfer of an image that passed InspectImage for mode.
  Outcome Run(const std::string& port, const std::string& image, UpgradeMode mode,
              const ImageReport& plan, double timeoutSeconds,
              const std::function<int()>& interrupted);
  const ProgressMeter& Meter() const { return meter_; }

 private:
  class Events;
  void Finish(int exitStatus, std::string message, uint32_t crc = 0);
  // "after block 3 of 40", or "after the start frame".
  std::string Where() const;

  ProgressView& view_;
  EventLoop loop_;
  std::unique_ptr<Events> events_;
  ProgressMeter meter_;
  SteadyTime lastHeard_{};
  bool finished_ = false;
  Outcome outcome_;
};

}  // namespace t42rm::cli
