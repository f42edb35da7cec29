// In-memory serial device for unit tests: records every write as one chunk
// (so "one write per frame" can be asserted), serves queued input, and can be
// told to fail opens or to hang up. Thread-safe like a real device.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial_device.h"

namespace t42rm::testing {

class FakeSerialDevice final : public SerialDevice {
 public:
  struct Shared;  // state shared with the test after ownership moved to the port

  FakeSerialDevice();
  explicit FakeSerialDevice(std::shared_ptr<Shared> shared);
  ~FakeSerialDevice() override;

  std::shared_ptr<Shared> state() const { return shared_; }

  bool Open(const std::string& path) override;
  bool IsOpen() const override;
  bool GetSettings(LineSettings& out) override;
  bool ApplySettings(const LineSettings& settings) override;
  bool Purge() override;
  bool SetRts(bool on) override;
  bool SetDtr(bool on) override;
  size_t Write(const uint8_t* data, size_t count, int timeoutMs) override;
  long BytesWaiting() override;
  long Read(uint8_t* data, size_t max) override;
  WaitResult WaitForInput(int timeoutMs) override;
  void CancelWait() override;
  bool Close() override;
  const OsError& LastError() const override { return error_; }
  OpenFailure LastOpenFailure() const override;

 private:
  std::shared_ptr<Shared> shared_;
  OsError error_;
};

struct FakeSerialDevice::Shared {
  std::mutex mutex;
  std::condition_variable cv;
  bool open = false;
  std::string openedPath;
  int opens = 0;
  int waitingCalls = 0;  // BytesWaiting calls: a spinning reader shows here
  OpenFailure failOpen = OpenFailure::kNone;  // set to make Open fail
  bool failApply = false;
  bool hungUp = false;
  bool cancel = false;
  bool rts = false;
  bool dtr = true;
  LineSettings settings;
  std::vector<std::vector<uint8_t>> writes;  // one entry per Write call
  std::deque<uint8_t> input;

  // Test side (any thread).
  void Push(const std::vector<uint8_t>& bytes);
  void HangUp();
  std::vector<std::vector<uint8_t>> TakeWrites();
  std::vector<uint8_t> AllWritten();
};

}  // namespace t42rm::testing
