// A pseudo-terminal pair per test, and small helpers to move bytes across it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/serial_device.h"

namespace t42rm::testing {

class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OsError error;
    ASSERT_TRUE(OpenPseudoTerminal(pty_, error)) << error.Describe();
    ASSERT_TRUE(pty_.master && pty_.master->IsOpen());
    ASSERT_FALSE(pty_.slavePath.empty());
  }
  SerialDevice& Master() { return *pty_.master; }

  PseudoTerminal pty_;
};

// Distinct bytes that show a lost, repeated or reordered byte.
inline std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 31 + (i >> 8) + seed);
  return v;
}

// Collects up to n bytes; stops early when a wait (waitMs each) brings nothing.
inline std::vector<uint8_t> ReadUpTo(SerialDevice& device, size_t n, int waitMs = 2000) {
  std::vector<uint8_t> got;
  uint8_t buf[4096];
  while (got.size() < n) {
    if (device.WaitForInput(waitMs) != WaitResult::kReady) break;
    const long r = device.Read(buf, std::min(sizeof buf, n - got.size()));
    if (r < 0) break;
    got.insert(got.end(), buf, buf + r);
  }
  return got;
}

}  // namespace t42rm::testing
