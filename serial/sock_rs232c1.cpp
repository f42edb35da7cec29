#include "serial/sock_rs232c1.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace t42rm {

sock_rs232c1::sock_rs232c1(std::unique_ptr<SerialDevice> device, Clock* clock)
    : m_device(device ? std::move(device) : CreatePlatformSerialDevice()),
      m_clock(clock ? clock : &MonotonicClock()) {}

sock_rs232c1::~sock_rs232c1() {
  ClosePort();
  m_pRxBuf.reset();
}

void sock_rs232c1::DebugTrace(std::string_view text) const {
  if (m_debugSink) m_debugSink->Trace(text);
}

int sock_rs232c1::InitPort(void* /*window*/, uint32_t rxSize, uint32_t /*txSize*/) {
  m_dwInQueue = kQueueSize;
  m_dwOutQueue = kQueueSize;
  m_pRxBuf.reset(new (std::nothrow) uint8_t[rxSize + 1]());
  if (!m_pRxBuf) {
    m_nRxCapacity = 0;
    return 0;
  }
  m_nRxCapacity = rxSize + 1;
  return 1;
}

int sock_rs232c1::OpenPort(PortSettings settings, const std::string& name) {
  if (m_bOpened) return 0;
  m_lastOpenFailure = OpenFailure::kNone;
  m_lastOpenError = {};

  LineSettings current;
  if (!m_device->Open(name) || !m_device->GetSettings(current)) {
    m_lastOpenFailure = m_device->IsOpen() ? OpenFailure::kNotSerial : m_device->LastOpenFailure();
    m_lastOpenError = m_device->LastError();
    DebugTrace("Get configuration port has problem.\r\n");
    if (m_device->IsOpen()) m_device->Close();
    return 0;
  }
  if (!m_device->Purge()) {
    m_lastOpenFailure = OpenFailure::kOther;
    m_lastOpenError = m_device->LastError();
    m_device->Close();
    return 0;
  }

  // Keep what the device reported (DTR among it); change only the line.
  LineSettings wanted = current;
  wanted.baudRate = settings.BaudRate;
  wanted.dataBits = settings.ByteSize;
  wanted.parity = settings.Parity;
  wanted.stopBits = settings.StopBits;
  wanted.ctsOutFlow = false;
  wanted.dsrOutFlow = false;
  // The device's binary mode: no echo, no line editing, no translation.
  wanted.raw = true;
  if (!m_device->ApplySettings(wanted) || !m_device->SetRts(true)) {
    m_lastOpenFailure = OpenFailure::kOther;
    m_lastOpenError = m_device->LastError();
    char line[128];
    std::snprintf(line, sizeof line, "Set configuration port has problem(%d).\r\n",
                  m_device->LastError().code);
    DebugTrace(line);
    m_device->Close();
    return 0;
  }
  m_dcb = settings;
  m_bOpened = 1;
  m_bDeviceLost = false;
  return 1;
}

int sock_rs232c1::ClosePort() {
  if (!m_bOpened) return 1;
  m_device->CancelWait();
  const bool dtrCleared = m_device->SetDtr(false);
  const bool purged = m_device->Purge();
  if ((!dtrCleared || !purged) && !m_bDeviceLost) return 0;
  m_bOpened = 0;
  if (!m_device->Close()) {
    DebugTrace("Port Closeing isn't successed.\r\n");
    return 0;
  }
  return 1;
}

int sock_rs232c1::WritePort(const uint8_t* bytes, int32_t count) {
  if (!m_bOpened || count <= 0) return 0;
  const size_t n = static_cast<size_t>(count);
  return m_device->Write(bytes, n, kWriteTimeoutMs) == n ? 1 : 0;
}

uint32_t sock_rs232c1::CopyRxData(uint8_t* dest) const {
  if (m_nRxCount > 0 && m_pRxBuf) std::memcpy(dest, m_pRxBuf.get(), m_nRxCount);
  return m_nRxCount;
}

}  // namespace t42rm
