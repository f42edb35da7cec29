// A small user-thread loop: whoever calls Run* becomes the user thread and runs
// the posted tasks (and with them every protocol step) on itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "serial/user_thread.h"

namespace t42rm {

class EventLoop final : public UserThreadExecutor {
 public:
  void Post(std::function<void()> task) override;
  // Runs tasks until Quit() or until `timeout` has passed. Returns false when it
  // stopped because of Quit (the quit request is consumed), true on timeout.
  bool RunFor(std::chrono::milliseconds timeout);
  // Runs tasks until Quit().
  void Run();
  // Thread-safe; the running (or next) Run* returns.
  void Quit();
  size_t Pending() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  bool quit_ = false;
};

}  // namespace t42rm
