#include "serial/receive_pump.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "serial/rx_assembly.h"

namespace t42rm {

// One hand-off in flight. Shared with the queued task, so a task that runs
// after the pump is gone touches only this record.
struct ReceivePump::Handoff {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  bool cancelled = false;
};

ReceivePump::ReceivePump(sock_rs232c1& port, UserThreadExecutor& executor,
                         ReceivePumpTarget& target)
    : port_(port), executor_(executor), target_(target) {}

ReceivePump::~ReceivePump() { Stop(); }

bool ReceivePump::Start() {
  if (thread_.joinable()) return true;
  stop_ = false;
  try {
    thread_ = std::thread([this] { ReadThreadProc(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void ReceivePump::Stop() {
  stop_ = true;
  {
    std::lock_guard lock(handoff_mutex_);
    if (current_) {
      std::lock_guard hl(current_->mutex);
      current_->cancelled = true;
      current_->cv.notify_all();
    }
  }
  port_.Device().CancelWait();
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // cannot join itself; the loop ends on stop_
    } else {
      thread_.join();
    }
  }
}

bool ReceivePump::HandOff(std::function<void()> fn) {
  auto h = std::make_shared<Handoff>();
  {
    std::lock_guard lock(handoff_mutex_);
    if (stop_) return false;
    current_ = h;
  }
  executor_.Post([h, fn = std::move(fn)] {
    {
      std::lock_guard lock(h->mutex);
      if (h->cancelled) return;
    }
    fn();
    {
      std::lock_guard lock(h->mutex);
      h->done = true;
    }
    h->cv.notify_all();
  });
  {
    std::unique_lock lock(h->mutex);
    h->cv.wait(lock, [&] { return h->done || h->cancelled; });
  }
  {
    std::lock_guard lock(handoff_mutex_);
    current_.reset();
  }
  return !stop_;
}

void ReceivePump::ReadThreadProc() {
  SerialDevice& device = port_.Device();
  Clock& clock = port_.GetClock();
  uint8_t* buf = port_.m_pRxBuf.get();
  const uint32_t capacity = port_.RxCapacity();
  port_.m_nRxCount = 0;
  if (!buf || capacity == 0) return;
  RxAssembly rx(buf, capacity, port_.m_nRxCount);

  auto lost = [&](OsError error) {
    HandOff([this, error] { target_.OnDeviceLost(error); });
  };

  while (!stop_) {
    // With less than a header held nothing can be handed over: block on the
    // device instead of polling it, so an idle link costs no CPU.
    if (!rx.ReadyForHandOff()) {
      const WaitResult r = device.WaitForInput(-1);
      if (stop_) break;
      if (r == WaitResult::kHangUp || r == WaitResult::kError) {
        OsError e = device.LastError();
        if (e.ok()) e = {"read", 0, r == WaitResult::kHangUp ? "device hung up" : "device error"};
        lost(e);
        break;
      }
      if (r != WaitResult::kReady) continue;
    }
    // Settle: a frame that has begun to arrive is whole by now.
    clock.SleepMs(kSettleMs);
    if (stop_) break;

    const long waiting = device.BytesWaiting();
    if (waiting < 0) {
      lost(device.LastError());
      break;
    }
    const uint32_t n =
        std::min({static_cast<uint32_t>(waiting), sock_rs232c1::kQueueSize, rx.Room()});
    long got = 0;
    if (n > 0) {
      got = device.Read(rx.Tail(), n);
      if (got < 0) {
        lost(device.LastError());
        break;
      }
    }
    rx.Commit(static_cast<uint32_t>(got));

    if (rx.ReadyForHandOff()) {
      if (!HandOff([this] { target_.OnSerialFrame(0, reinterpret_cast<intptr_t>(&port_)); })) break;
      // Exactly one header is removed; bytes behind it are offered next pass.
      rx.RemoveHeader();
    }
    // No pause between passes: the next pass either blocks on the device or,
    // with a header still held, settles for 50 ms first, so it cannot spin.
  }
}

}  // namespace t42rm
