// Opening and closing the link, and the hand-off handler of the receive pump.
#include <algorithm>
#include <cstring>

#include "protocol/cSerialClient1.h"

namespace t42rm {

int cSerialClient1::OpenLink(PortSettings settings, const std::string& name) {
  if (IsOpen()) return 1;
  char line[kLogLineSize];
  if (!m_pRxBuf) InitPort(nullptr, 4096, 4096);
  if (!m_executor || !OpenPort(settings, name)) {
    std::snprintf(line, sizeof line, "%s - Open Failed..", name.c_str());
    WriteLog(kLogLink, line);
    return 0;
  }
  m_szOpenedPort = name;
  m_pump = std::make_unique<ReceivePump>(*this, *m_executor, *this);
  if (!m_pump->Start()) {
    m_pump.reset();
    CloseLink();
    return 0;
  }
  m_bLinkReady = true;
  std::snprintf(line, sizeof line, "%s - Open Ok!", name.c_str());
  WriteLog(kLogLink, line);
  return 1;
}

int cSerialClient1::CloseLink() {
  if (!IsOpen()) return 0;
  // Stop and join the reader first: it must not touch the device once closed.
  if (m_pump) m_pump->Stop();
  m_pump.reset();
  m_bLinkReady = false;
  if (!ClosePort()) {
    char line[kLogLineSize];
    std::snprintf(line, sizeof line, "%s - Close Failed..", m_szOpenedPort.c_str());
    WriteLog(kLogLink, line);
    return 0;
  }
  return 1;
}

int cSerialClient1::OnSerialFrame(uintptr_t /*wParam*/, intptr_t /*lParam*/) {
  std::array<uint8_t, kHandoffBufSize> copy{};
  const uint32_t count = std::min<uint32_t>(m_nRxCount, kHandoffBufSize);
  if (count > 0) std::memcpy(copy.data(), m_pRxBuf.get(), count);
  OnReceive(copy.data(), count);
  char line[40];
  std::snprintf(line, sizeof line, "******dwSize = %d\n", static_cast<int>(count));
  Trace(line);
  return 0;
}

void cSerialClient1::OnDeviceLost(const OsError& error) {
  m_bLinkReady = false;
  MarkDeviceLost();
  const std::string detail = error.Describe().empty() ? "device lost" : error.Describe();
  char line[kLogLineSize];
  std::snprintf(line, sizeof line, "%s - Device lost: %s", m_szOpenedPort.c_str(),
                detail.c_str());
  WriteLog(kLogLink, line);
  if (m_observer) m_observer->OnDeviceLost(detail);
}

StartOutcome cSerialClient1::StartTransfer() {
  if (!m_pOwner) return StartOutcome::kNoOwner;
  const UpgradeJob& job = m_pOwner->m_job;
  const std::string& path = job.szFullPath.empty() ? job.szFileName : job.szFullPath;
  ImageFile probe(std::fopen(path.c_str(), "rb"));
  if (!probe) {
    if (m_observer) m_observer->OnImageRejected(RejectReason::kUnreadable, 0, 0, path);
    return StartOutcome::kUnreadable;
  }
  // Set before the start frame leaves, so the device's answer is never dropped.
  m_bTransferActive = true;
  int sent = -1;
  switch (job.nMode) {
    case kModeFirmware: sent = ReqUpgradeF(nullptr, job.nFileSize, -1); break;
    case kModeBootAndFirmware: sent = ReqUpgradeB(nullptr, job.nFileSize, -1); break;
    case kModeModule: sent = ReqUpgradeModule(nullptr, job.nFileSize, -1); break;
    case kModeChannel: sent = ReqUpgradeChannel(nullptr, job.nFileSize, -1); break;
    default: return StartOutcome::kBadMode;
  }
  if (sent != 0) return StartOutcome::kNotSent;
  if (m_observer) m_observer->OnStartFrameSent(job.nMode, job.nFileSize);
  return StartOutcome::kStarted;
}

}  // namespace t42rm
