#include "tests/support/fake_serial_device.h"

#include <algorithm>
#include <chrono>

namespace t42rm::testing {

void FakeSerialDevice::Shared::Push(const std::vector<uint8_t>& bytes) {
  {
    std::lock_guard lock(mutex);
    input.insert(input.end(), bytes.begin(), bytes.end());
  }
  cv.notify_all();
}

void FakeSerialDevice::Shared::HangUp() {
  {
    std::lock_guard lock(mutex);
    hungUp = true;
  }
  cv.notify_all();
}

std::vector<std::vector<uint8_t>> FakeSerialDevice::Shared::TakeWrites() {
  std::lock_guard lock(mutex);
  auto out = std::move(writes);
  writes.clear();
  return out;
}

std::vector<uint8_t> FakeSerialDevice::Shared::AllWritten() {
  std::lock_guard lock(mutex);
  std::vector<uint8_t> all;
  for (const auto& w : writes) all.insert(all.end(), w.begin(), w.end());
  return all;
}

FakeSerialDevice::FakeSerialDevice() : shared_(std::make_shared<Shared>()) {}
FakeSerialDevice::FakeSerialDevice(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
FakeSerialDevice::~FakeSerialDevice() = default;

bool FakeSerialDevice::Open(const std::string& path) {
  std::lock_guard lock(shared_->mutex);
  if (shared_->failOpen != OpenFailure::kNone || shared_->open) {
    error_ = {"open " + path, 2, "refused by the fake"};
    return false;
  }
  shared_->open = true;
  shared_->openedPath = path;
  shared_->cancel = false;
  ++shared_->opens;
  return true;
}

bool FakeSerialDevice::IsOpen() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->open;
}

OpenFailure FakeSerialDevice::LastOpenFailure() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->failOpen != OpenFailure::kNone ? shared_->failOpen : OpenFailure::kBusy;
}

bool FakeSerialDevice::GetSettings(LineSettings& out) {
  std::lock_guard lock(shared_->mutex);
  out = shared_->settings;
  return shared_->open;
}

bool FakeSerialDevice::ApplySettings(const LineSettings& settings) {
  std::lock_guard lock(shared_->mutex);
  if (shared_->failApply) {
    error_ = {"tcsetattr", 22, "Invalid argument"};
    return false;
  }
  shared_->settings = settings;
  return true;
}

bool FakeSerialDevice::Purge() {
  std::lock_guard lock(shared_->mutex);
  shared_->input.clear();
  return true;
}

bool FakeSerialDevice::SetRts(bool on) {
  std::lock_guard lock(shared_->mutex);
  shared_->rts = on;
  return true;
}

bool FakeSerialDevice::SetDtr(bool on) {
  std::lock_guard lock(shared_->mutex);
  shared_->dtr = on;
  return true;
}

size_t FakeSerialDevice::Write(const uint8_t* data, size_t count, int /*timeoutMs*/) {
  std::lock_guard lock(shared_->mutex);
  if (!shared_->open) return 0;
  shared_->writes.emplace_back(data, data + count);
  return count;
}

long FakeSerialDevice::BytesWaiting() {
  std::lock_guard lock(shared_->mutex);
  ++shared_->waitingCalls;
  if (!shared_->open || (shared_->hungUp && shared_->input.empty())) return -1;
  return static_cast<long>(shared_->input.size());
}

long FakeSerialDevice::Read(uint8_t* data, size_t max) {
  std::lock_guard lock(shared_->mutex);
  if (!shared_->open || (shared_->hungUp && shared_->input.empty())) {
    error_ = {"read", 5, "Input/output error"};
    return -1;
  }
  const size_t n = std::min(max, shared_->input.size());
  std::copy_n(shared_->input.begin(), n, data);
  shared_->input.erase(shared_->input.begin(), shared_->input.begin() + static_cast<long>(n));
  return static_cast<long>(n);
}

WaitResult FakeSerialDevice::WaitForInput(int timeoutMs) {
  std::unique_lock lock(shared_->mutex);
  auto ready = [&] { return shared_->cancel || !shared_->input.empty() || shared_->hungUp; };
  if (timeoutMs < 0) {
    shared_->cv.wait(lock, ready);
  } else if (!shared_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
    return WaitResult::kTimeout;
  }
  if (shared_->cancel) {
    shared_->cancel = false;
    return WaitResult::kCancelled;
  }
  if (!shared_->input.empty()) return WaitResult::kReady;
  error_ = {"poll", 0, "device hung up"};
  return WaitResult::kHangUp;
}

void FakeSerialDevice::CancelWait() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->cancel = true;
  }
  shared_->cv.notify_all();
}

bool FakeSerialDevice::Close() {
  std::lock_guard lock(shared_->mutex);
  shared_->open = false;
  return true;
}

}  // namespace t42rm::testing
