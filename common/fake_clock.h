// Virtual time for tests: SleepMs advances Now() at once and records the sleep.
// Thread-safe, so a test may read it while the code under test sleeps.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "common/clock.h"

namespace t42rm {

class FakeClock final : public Clock {
 public:
  TimePoint Now() const override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  void SleepMs(int ms) override {
    std::function<void(int)> hook;
    {
      std::lock_guard lock(mutex_);
      sleeps_.push_back(ms);
      if (ms > 0) now_ += std::chrono::milliseconds(ms);
      hook = on_sleep_;
    }
    if (hook) hook(ms);
  }
  void Advance(std::chrono::milliseconds d) {
    std::lock_guard lock(mutex_);
    now_ += d;
  }
  std::vector<int> Sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
  }
  void ClearSleeps() {
    std::lock_guard lock(mutex_);
    sleeps_.clear();
  }
  // Milliseconds of virtual time since construction.
  long long ElapsedMs() const {
    std::lock_guard lock(mutex_);
    return std::chrono::duration_cast<std::chrono::milliseconds>(now_ - TimePoint{}).count();
  }
  void SetOnSleep(std::function<void(int)> hook) {
    std::lock_guard lock(mutex_);
    on_sleep_ = std::move(hook);
  }

 private:
  mutable std::mutex mutex_;
  TimePoint now_{};
  std::vector<int> sleeps_;
  std::function<void(int)> on_sleep_;
};

}  // namespace t42rm
