#include "serial/event_loop.h"

namespace t42rm {

void EventLoop::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  cv_.notify_all();
}

bool EventLoop::RunFor(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (quit_) {
      quit_ = false;
      return false;
    }
    if (!tasks_.empty()) {
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
      continue;
    }
    if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && tasks_.empty() && !quit_)
      return true;
  }
}

void EventLoop::Run() {
  while (RunFor(std::chrono::hours(24))) {
  }
}

void EventLoop::Quit() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  cv_.notify_all();
}

size_t EventLoop::Pending() const {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

}  // namespace t42rm
