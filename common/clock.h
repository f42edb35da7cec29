// Time seam. Every sleep of the protocol and the link goes through a Clock, so
// unit tests run the block pacing in virtual time (FakeClock) and assert it.
#pragma once

#include <chrono>

namespace t42rm {

class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~Clock() = default;
  virtual TimePoint Now() const = 0;
  virtual void SleepMs(int ms) = 0;
};

// The process-wide monotonic real clock; thread-safe.
Clock& MonotonicClock();

}  // namespace t42rm
