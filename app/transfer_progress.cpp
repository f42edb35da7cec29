#include "app/transfer_progress.h"

#include <algorithm>
#include <cstdio>

namespace t42rm::app {

const char* ModeTitle(UpgradeMode mode) {
  switch (mode) {
    case kModeFirmware: return "Firmware";
    case kModeBootAndFirmware: return "Boot loader and firmware";
    case kModeModule: return "Module";
    case kModeChannel: return "Channel data";
    default: return "Unknown mode";
  }
}

TransferProgress::TransferProgress(DialogView& view, Clock& clock)
    : m_view(view), m_clock(clock) {}

void TransferProgress::SetStatus(std::string text) {
  m_status = std::move(text);
  m_view.SetStatusText(m_status);
}

void TransferProgress::SetBar(int value, int maximum) {
  m_maximum = std::max(1, maximum);
  m_value = std::clamp(value, 0, m_maximum);
  m_view.SetProgress(m_value, m_maximum);
}

void TransferProgress::ShowMessage(const std::string& text) {
  m_finished = false;
  SetStatus(text);
}

void TransferProgress::Tick(bool transferActive) {
  if (!m_waiting || !transferActive || m_noticeShown) return;
  if (m_clock.Now() - m_lastFrame < kSilenceNotice) return;
  m_noticeShown = true;
  char line[96];
  std::snprintf(line, sizeof line, "No frame from the device for %d s; still waiting",
                static_cast<int>(kSilenceNotice.count()));
  SetStatus(line);
}

void TransferProgress::OnStartFrameSent(UpgradeMode mode, int32_t size) {
  m_mode = mode;
  m_blocks = 0;
  m_blocksDone = 0;
  m_waiting = true;
  m_finished = false;
  m_noticeShown = false;
  m_lastFrame = m_clock.Now();
  SetBar(0, 1);
  char line[128];
  std::snprintf(line, sizeof line, "%s: start sent, %d bytes",
                ModeTitle(mode), static_cast<int>(size));
  SetStatus(line);
}

void TransferProgress::OnFrameReceived(const FrameHeader& /*header*/) {
  m_lastFrame = m_clock.Now();
  m_noticeShown = false;
}

void TransferProgress::OnImageStaged(const StagedImage& image) {
  m_mode = image.mode;
  m_blocks = image.blocksExpected;
  m_blocksDone = 0;
  m_waiting = true;
  SetBar(0, static_cast<int>(m_blocks) + 1);
  char line[128];
  std::snprintf(line, sizeof line, "%s: %u bytes, %u blocks", ModeTitle(image.mode),
                image.size, image.blocksExpected);
  SetStatus(line);
}

void TransferProgress::OnBlockSent(uint32_t /*offset*/, uint32_t index, bool blank, bool repeat,
                                   uint32_t /*crc*/) {
  m_blocksDone = std::max(m_blocksDone, index + 1);
  SetBar(static_cast<int>(std::min(m_blocksDone, m_blocks)), static_cast<int>(m_blocks) + 1);
  char line[128];
  const unsigned k = index + 1;
  if (repeat) {
    std::snprintf(line, sizeof line, "Block %u of %u sent again (the device asked for it)", k,
                  m_blocks);
  } else if (blank) {
    std::snprintf(line, sizeof line, "Block %u of %u blank, announced only", k, m_blocks);
  } else {
    std::snprintf(line, sizeof line, "Block %u of %u sent", k, m_blocks);
  }
  SetStatus(line);
}

void TransferProgress::OnImageCrcSent(uint32_t crc) {
  StopWaiting();
  m_finished = true;
  SetBar(m_maximum, m_maximum);
  char line[128];
  std::snprintf(line, sizeof line, "Finished: %u block%s, CRC-32 %08x", m_blocks,
                m_blocks == 1 ? "" : "s", crc);
  SetStatus(line);
}

void TransferProgress::OnImageRejected(RejectReason reason, uint32_t storedCrc,
                                       uint32_t computedCrc, const std::string& detail) {
  StopWaiting();
  SetBar(0, 1);
  std::string line = "Image rejected: ";
  line += RejectReasonText(reason);
  if (reason == RejectReason::kStoredCrcMismatch) {
    char crcs[64];
    std::snprintf(crcs, sizeof crcs, " (stored %08x, computed %08x)", storedCrc, computedCrc);
    line += crcs;
  } else if (!detail.empty()) {
    line += " (" + detail + ")";
  }
  SetStatus(std::move(line));
}

void TransferProgress::OnPortNotOpen() {
  StopWaiting();
  SetStatus("Port not open: nothing was sent");
}

void TransferProgress::OnDeviceLost(const std::string& detail) {
  StopWaiting();
  if (m_finished) {
    // A device that restarts after its upgrade: the outcome stays readable.
    m_finished = false;
    SetStatus(m_status + " (device disconnected)");
    return;
  }
  SetStatus("Device lost: " + detail);
}

}  // namespace t42rm::app
