// The POSIX serial device: a terminal device driven through termios, opened
// non-blocking and exclusive (TIOCEXCL where it exists, and an flock that holds
// even against root).
//
// Choices made here beyond the SerialDevice contract:
// - A path that opens but is not a terminal (a regular file, /dev/null) fails
//   Open with kNotSerial; the device is released again.
// - ApplySettings rejects a speed, data size, parity or stop-bit code it cannot
//   express (EINVAL, nothing changed), and fails with EINVAL when the driver
//   does not keep speed, size, parity or stop bits as asked (the previous
//   settings are put back). Flow control the driver drops is not checked.
//   raw=false selects canonical, echoing input. One and a half stop bits
//   become two; DSR output flow does not exist here.
// - Write with a negative timeout has no time limit.
// - LastError() returns the latest error of any thread, as a copy that stays
//   valid until the calling thread next calls LastError() on any device.
// - The reader's calls (WaitForInput, BytesWaiting, Read) are serialised: one
//   made from a second thread during a wait blocks until that wait ends.
// - Close wakes a WaitForInput in progress and waits for the reader's current
//   call to leave before it closes the descriptor; after Close the next wait
//   returns kCancelled once, later ones kError. Open drops a pending cancel.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "platform/serial_device.h"

namespace t42rm {

class PosixSerialDevice final : public SerialDevice {
 public:
  PosixSerialDevice();
  // Adopts an open terminal descriptor (a pseudo-terminal master): made
  // non-blocking and close-on-exec, not locked. name appears in errors.
  PosixSerialDevice(int fd, std::string name);
  ~PosixSerialDevice() override;
  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  bool Open(const std::string& path) override;
  bool IsOpen() const override { return fd_.load() >= 0; }
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

  const OsError& LastError() const override;
  OpenFailure LastOpenFailure() const override { return lastOpenFailure_; }

  // False when the wake-up pipe could not be made (LastError says why); such a
  // device cannot wait.
  bool CanWait() const { return wakeRead_ >= 0; }

 private:
  bool Fail(const char* what, int code);
  bool Fail(const char* what, int code, const char* message);
  bool FailOpen(const char* what, int code, OpenFailure failure);
  std::string Path() const;
  int OpenFd();  // the descriptor, or -1 with LastError set
  bool ModemLine(int line, bool on, const char* what);
  void CreateWakePipe();
  // Empties the wake-up pipe and clears the pending cancel.
  void ConsumeCancel();

  std::atomic<int> fd_{-1};
  // Held by the reader's calls while they use the descriptor, and by Close
  // before it closes it, so a descriptor is never closed under a reader.
  std::mutex readerMutex_;

  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  int wakeErrno_ = 0;  // why the pipe could not be made
  std::atomic<bool> cancelPending_{false};

  // Written on the user thread by Open/Close only.
  bool locked_ = false;
  bool exclusive_ = false;
  OpenFailure lastOpenFailure_ = OpenFailure::kNone;

  mutable std::mutex errorMutex_;  // guards path_ and error_
  std::string path_;
  OsError error_;
};

}  // namespace t42rm
