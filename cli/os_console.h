// What the command line needs of the OS beyond the serial layer: whether an
// output is a terminal, the group that owns a device, and Ctrl-C. One
// implementation per OS, chosen in CMake.
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

namespace t42rm::cli {

bool IsTerminal(std::FILE* stream);

// The local time now, "2025-03-01 14:02:07.123".
std::string LocalTimestamp();

// Name of the group that owns the file at path ("dialout"); empty if unknown.
std::string OwningGroup(const std::string& path);

// Catches Ctrl-C and termination requests for the life of the object, so that
// a transfer can end cleanly (port closed) instead of dying mid-frame. Must be
// constructed before any other thread starts; Caught() may be polled from any
// thread and returns the signal number (0: none yet).
class InterruptWatcher {
 public:
  InterruptWatcher();
  ~InterruptWatcher();
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;
  int Caught() const { return caught_.load(); }

 private:
  struct Impl;
  std::atomic<int> caught_{0};
  std::unique_ptr<Impl> impl_;
};

}  // namespace t42rm::cli
