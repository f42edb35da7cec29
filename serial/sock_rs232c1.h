// The serial port: one device, configured for the T42RM line, with the receive
// buffer that the reader thread fills.
//
// Threads: the constructor, InitPort, OpenPort, ClosePort, WritePort and the
// destructor run on the user thread. The reader thread (receive pump) alone
// changes m_pRxBuf and m_nRxCount; the user thread reads them only inside the
// synchronous hand-off (CopyRxData), while the reader waits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/clock.h"
#include "common/log_sink.h"
#include "common/upgrade_types.h"
#include "platform/serial_device.h"

namespace t42rm {

class sock_rs232c1 {
 public:
  // device: the transport (null: this OS's serial device). clock: null for the
  // monotonic real clock. Neither is opened here.
  explicit sock_rs232c1(std::unique_ptr<SerialDevice> device = nullptr, Clock* clock = nullptr);
  virtual ~sock_rs232c1();
  sock_rs232c1(const sock_rs232c1&) = delete;
  sock_rs232c1& operator=(const sock_rs232c1&) = delete;

  // Allocates the receive buffer (rxSize + 1 bytes). The window and txSize are
  // accepted and not used. Returns 1, or 0 when the buffer cannot be had.
  int InitPort(void* window, uint32_t rxSize, uint32_t txSize);
  // Opens and configures the device (115200 8N1 from settings, raw, no CTS/DSR
  // output flow control, RTS on, queues purged). 1 open, 0 failure.
  int OpenPort(PortSettings settings, const std::string& name);
  // Clears DTR, purges, closes. 1 closed or was not open, 0 failure.
  int ClosePort();
  // Hands all count bytes to the kernel. Non-zero when all were taken.
  int WritePort(const uint8_t* bytes, int32_t count);
  int IsOpen() const { return m_bOpened; }
  // Copies the m_nRxCount bytes held and returns their number. dest must hold
  // at least RxCapacity() bytes.
  uint32_t CopyRxData(uint8_t* dest) const;

  uint32_t RxCapacity() const { return m_nRxCapacity; }
  SerialDevice& Device() { return *m_device; }
  Clock& GetClock() const { return *m_clock; }
  // Why the last OpenPort failed (kNone after a success).
  OpenFailure LastOpenFailure() const { return m_lastOpenFailure; }
  const OsError& LastOpenError() const { return m_lastOpenError; }

  void SetDebugSink(DebugSink* sink) { m_debugSink = sink; }
  // The device went away (hang-up, I/O error): ClosePort then releases it even
  // though the DTR and purge requests can no longer succeed.
  void MarkDeviceLost() { m_bDeviceLost = true; }

  // Sizes asked of the platform; the largest single read of the reader.
  static constexpr uint32_t kQueueSize = 8192;
  // Time given to one write to reach the kernel.
  static constexpr int kWriteTimeoutMs = 2000;

 protected:
  void DebugTrace(std::string_view text) const;

  std::unique_ptr<SerialDevice> m_device;  // stands for m_hComm
  int m_bOpened = 0;
  PortSettings m_dcb{};
  uint32_t m_dwInQueue = kQueueSize;
  uint32_t m_dwOutQueue = kQueueSize;

 public:
  // Receive buffer, owned by the port; written by the reader thread only.
  std::unique_ptr<uint8_t[]> m_pRxBuf;
  uint32_t m_nRxCapacity = 0;
  uint32_t m_nRxCount = 0;

 private:
  Clock* m_clock;
  DebugSink* m_debugSink = nullptr;
  OpenFailure m_lastOpenFailure = OpenFailure::kNone;
  OsError m_lastOpenError;
  bool m_bDeviceLost = false;
};

}  // namespace t42rm
