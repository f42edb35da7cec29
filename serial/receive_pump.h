// The receive pump: a reader thread that collects the device's bytes in the
// port's receive buffer, keeps it aligned on the frame start byte 0xFD and,
// whenever a header's worth (12 bytes) is held, hands it to the user thread and
// waits until the handler has run; then it removes exactly 12 bytes.
//
// Threads: Start/Stop on the user thread. The reader alone changes the port's
// m_pRxBuf/m_nRxCount; the target reads them only inside OnSerialFrame, while
// the reader waits. Stop joins the reader; it is safe to call from inside a
// hand-off handler and while a hand-off is queued but not yet run.
#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "common/log_sink.h"
#include "platform/os_error.h"
#include "serial/sock_rs232c1.h"
#include "serial/user_thread.h"

namespace t42rm {

// Receives the hand-offs, on the user thread.
class ReceivePumpTarget {
 public:
  virtual ~ReceivePumpTarget() = default;
  virtual int OnSerialFrame(uintptr_t wParam, intptr_t lParam) = 0;
  // The device disappeared (hang-up or I/O error); called once, then the reader stops.
  virtual void OnDeviceLost(const OsError& error) = 0;
};

class ReceivePump {
 public:
  // The settle after input is seen: a frame that began to arrive is whole by then.
  static constexpr int kSettleMs = 50;

  ReceivePump(sock_rs232c1& port, UserThreadExecutor& executor, ReceivePumpTarget& target);
  ~ReceivePump();
  ReceivePump(const ReceivePump&) = delete;
  ReceivePump& operator=(const ReceivePump&) = delete;

  // Starts the reader thread. False if it could not be started.
  bool Start();
  // Stops and joins the reader. Idempotent.
  void Stop();
  bool Running() const { return thread_.joinable(); }

 private:
  struct Handoff;
  void ReadThreadProc();
  // Runs fn on the user thread and waits for it; false if stopped meanwhile.
  bool HandOff(std::function<void()> fn);

  sock_rs232c1& port_;
  UserThreadExecutor& executor_;
  ReceivePumpTarget& target_;
  std::atomic<bool> stop_{false};
  std::shared_ptr<Handoff> current_;  // guarded by Handoff mutex via lifecycle
  std::mutex handoff_mutex_;
  std::thread thread_;
};

}  // namespace t42rm
