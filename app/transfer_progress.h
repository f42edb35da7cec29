// The progress bar and status line of the main dialog, fed by the client's
// transfer events. The bar counts the mode's blocks plus one final step, the
// overall CRC, so it reaches its maximum only when the transfer has finished.
//
// Silence: when a transfer is active and no device frame has arrived for
// kSilenceNotice (measured on the injected clock at each Tick), the status
// line says so once; the transfer is not touched, and the next frame's event
// replaces the notice. A device lost after a finished transfer (it restarts)
// leaves the finished line in place, marked as disconnected.
//
// Threads: user thread only (events come from inside the client's operations).
#pragma once

#include <chrono>
#include <string>

#include "app/dialog_view.h"
#include "common/clock.h"
#include "protocol/transfer_observer.h"

namespace t42rm::app {

class TransferProgress final : public TransferObserver {
 public:
  static constexpr std::chrono::seconds kSilenceNotice{30};

  TransferProgress(DialogView& view, Clock& clock);

  // The dialog's periodic tick; transferActive is the client's flag.
  void Tick(bool transferActive);
  // A line of the dialog's own (connect result, missing file).
  void ShowMessage(const std::string& text);

  const std::string& Status() const { return m_status; }
  int Value() const { return m_value; }
  int Maximum() const { return m_maximum; }

  void OnStartFrameSent(UpgradeMode mode, int32_t size) override;
  void OnFrameReceived(const FrameHeader& header) override;
  void OnImageStaged(const StagedImage& image) override;
  void OnBlockSent(uint32_t offset, uint32_t index, bool blank, bool repeat,
                   uint32_t crc) override;
  void OnImageCrcSent(uint32_t crc) override;
  void OnImageRejected(RejectReason reason, uint32_t storedCrc, uint32_t computedCrc,
                       const std::string& detail) override;
  void OnPortNotOpen() override;
  void OnDeviceLost(const std::string& detail) override;

 private:
  void SetStatus(std::string text);
  void SetBar(int value, int maximum);
  void StopWaiting() { m_waiting = false; }

  DialogView& m_view;
  Clock& m_clock;
  std::string m_status;
  int m_value = 0;
  int m_maximum = 1;
  UpgradeMode m_mode = 0;
  uint32_t m_blocks = 0;      // blocks the staged image streams
  uint32_t m_blocksDone = 0;  // distinct blocks sent so far
  bool m_waiting = false;     // a transfer of ours is under way
  bool m_noticeShown = false;
  bool m_finished = false;    // the status line shows a finished transfer
  Clock::TimePoint m_lastFrame{};
};

// "Channel data" and so on: the mode as the status line names it.
const char* ModeTitle(UpgradeMode mode);

}  // namespace t42rm::app
