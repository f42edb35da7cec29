// Receive assembly and dispatch of device frames; construction and destruction.
#include <cstring>

#include "common/byte_order.h"
#include "protocol/cSerialClient1.h"
#include "protocol/streaming_state.h"

namespace t42rm {

int32_t g_nHeaderState = 0;
std::array<uint8_t, 2048> g_Scratch{};

cSerialClient1::cSerialClient1(std::unique_ptr<SerialDevice> device, Clock* clock)
    : sock_rs232c1(std::move(device), clock) {}

cSerialClient1::~cSerialClient1() {
  // The reader must be gone before the port and its buffer go away.
  if (m_pump) m_pump->Stop();
  m_pump.reset();
  CloseImageFile();
}

void cSerialClient1::CloseImageFile() { m_pImageFile.reset(); }

int cSerialClient1::CheckHeader(int32_t* state, FrameHeader* header) {
  if (m_nRecvLen < kHeaderSize) {
    *state = 1;
    return 0;
  }
  // The device sends its end mark high byte first: C5 8D.
  if (m_RecvBuf[11] == 0x8D && m_RecvBuf[10] == 0xC5) {
    header->wCode = get_be16(&m_RecvBuf[2]);
    header->wStatus = get_be16(&m_RecvBuf[4]);
    header->wLength = get_be16(&m_RecvBuf[6]);
    header->wParam = get_be16(&m_RecvBuf[8]);
    m_RecvBuf.fill(0);
    m_nRecvLen = 0;
    *state = 0;
    return 1;
  }
  Trace("< N_BYTE_HEADER_SIZE\n");
  return 1;
}

int cSerialClient1::PacketCodeError(const FrameHeader& h) {
  char line[kLogLineSize];
  std::snprintf(line, sizeof line, "Recv: 0x%x, 0x%x, 0x%x, 0x%x, 0x%x - packet code error!",
                h.wStart, h.wEnd, h.wCode, h.wStatus, h.wLength);
  WriteLog(kLogError, line);
  if (m_observer) m_observer->OnProtocolError(line);
  ++m_nErrCount;
  if (m_nErrCount > kPurgeAfterErrors) {
    if (m_nRecvLen > 0) std::memset(m_RecvBuf.data(), 0, static_cast<size_t>(m_nRecvLen));
    m_nRecvLen = 0;
    m_nErrCount = 0;
  }
  return -1;
}

int cSerialClient1::OnReceive(const uint8_t* bytes, uint32_t count) {
  if (!m_bTransferActive) return 0;

  // Never write past the assembly buffer: a hand-off that does not fit behind
  // the bytes held replaces them, and one longer than the buffer is cut.
  if (count > static_cast<uint32_t>(kRecvBufSize)) count = kRecvBufSize;
  if (static_cast<uint32_t>(m_nRecvLen) + count > static_cast<uint32_t>(kRecvBufSize)) {
    m_RecvBuf.fill(0);
    m_nRecvLen = 0;
  }
  if (count > 0) std::memcpy(m_RecvBuf.data() + m_nRecvLen, bytes, count);
  m_nRecvLen += static_cast<int32_t>(count);

  FrameHeader header{};
  g_Scratch.fill(0);

  if (g_nHeaderState == 0) {
    uint32_t i = 0;
    while (i < count && m_RecvBuf[i] != kFrameStartByte) ++i;
    if (i == count) {
      Trace("OnReceive: no header start in the received bytes\n");
      m_RecvBuf.fill(0);
      m_nRecvLen = 0;
      return 0;
    }
    if (i > 0) {
      // Move the bytes from the start byte on to the front; the vacated tail of
      // the scanned span becomes zero, bytes behind the span stay as they were.
      std::memmove(m_RecvBuf.data(), m_RecvBuf.data() + i, count - i);
      std::memset(m_RecvBuf.data() + (count - i), 0, i);
      m_nRecvLen -= static_cast<int32_t>(i);
    }
    if (CheckHeader(&g_nHeaderState, &header) == 0) {
      Trace("OnReceive: header incomplete\n");
      return 0;
    }
    Trace("OnReceive: header recognised\n");
  } else {
    if (CheckHeader(&g_nHeaderState, &header) == 0) return 0;
  }

  // A header that was taken leaves the buffer empty; one still held had a
  // wrong end mark (and decoded as all zero).
  if (m_nRecvLen >= kHeaderSize) {
    // Wrong end mark: count it, then drop the bad header so that the next
    // frame is dispatched instead of the same bad bytes ten more times.
    const int result = PacketCodeError(header);
    m_RecvBuf.fill(0);
    m_nRecvLen = 0;
    g_nHeaderState = 0;
    return result;
  }

  if (m_observer) m_observer->OnFrameReceived(header);
  switch (header.wCode) {
    case kCodeDevUpgradeQuery:
      ex_Send(kLogSend, "UPGRADE", kCodeUpgrade, 0, 0, 0);
      return 0;
    case kCodeDevBootStart: {
      const uint32_t size = m_pOwner ? static_cast<uint32_t>(m_pOwner->m_job.nFileSize) : 0;
      ex_Send(kLogSend, "B_UPGRADE_START", kCodeBUpgradeStart, 0, static_cast<int>(size & 0xFFFF),
              static_cast<int>(size >> 16));
      return 0;
    }
    case kCodeResUpgradeB: return StageImage(kModeBootAndFirmware, header.wStatus);
    case kCodeResUpgradeF: return StageImage(kModeFirmware, header.wStatus);
    case kCodeResUpgradeModule: return StageImage(kModeModule, header.wStatus);
    case kCodeResUpgradeChannel: return StageImage(kModeChannel, header.wStatus);
    case kCodeDevNextBlock: return SendNextBlock(header.wStatus);
    case kCodeDevCrcRequest: return DevCrcRequest();
    default: return PacketCodeError(header);
  }
}

}  // namespace t42rm
