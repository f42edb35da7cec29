// The transport interface: one serial device (or one end of a pseudo-terminal).
// The protocol and the link reach the OS only through this. One implementation
// per OS lives beside it and is picked by CMake; tests use an in-memory fake.
//
// Threads: Open/Configure/Close and Write are called on the user thread; the
// reader thread calls BytesWaiting/Read/WaitForInput. CancelWait may be called
// from any thread and wakes a WaitForInput in progress. Implementations must be
// safe for that split (one reader, one writer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/os_error.h"

namespace t42rm {

// Line settings as applied to (or read back from) a device.
struct LineSettings {
  uint32_t baudRate = 115200;
  uint8_t dataBits = 8;
  uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
  bool ctsOutFlow = false;
  bool dsrOutFlow = false;
  bool xonXoff = false;
  bool raw = true;       // no echo, no canonical input, no translation
};

enum class OpenFailure {
  kNone,
  kMissing,           // ENOENT, ENODEV, ENXIO
  kBusy,              // held by another process (EBUSY, lock held)
  kPermission,        // EACCES, EPERM
  kNotSerial,         // opened, but not a terminal device
  kOther,
};

enum class WaitResult { kReady, kTimeout, kCancelled, kHangUp, kError };

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Opens by name, read/write, non-blocking, exclusive (a second open of the
  // same device fails). Returns false with LastError()/LastOpenFailure() set.
  virtual bool Open(const std::string& path) = 0;
  virtual bool IsOpen() const = 0;
  // Reads the current line settings.
  virtual bool GetSettings(LineSettings& out) = 0;
  // Applies settings; modem-line and flow settings not supported by the device
  // (a pseudo-terminal) are skipped, not failed.
  virtual bool ApplySettings(const LineSettings& settings) = 0;
  // Discards both queues.
  virtual bool Purge() = 0;
  // Modem lines. Return true also when the device has no modem lines.
  virtual bool SetRts(bool on) = 0;
  virtual bool SetDtr(bool on) = 0;
  // Hands all count bytes to the kernel, continuing partial writes for at most
  // timeoutMs. Returns the number of bytes written.
  virtual size_t Write(const uint8_t* data, size_t count, int timeoutMs) = 0;
  // Bytes waiting in the receive queue, or -1 on error.
  virtual long BytesWaiting() = 0;
  // Reads up to max bytes that are waiting, without blocking. Returns the
  // number read (0 if none), or -1 on error / hang-up.
  virtual long Read(uint8_t* data, size_t max) = 0;
  // Blocks until input is waiting, the timeout passes (negative: no timeout),
  // CancelWait is called, or the device hangs up.
  virtual WaitResult WaitForInput(int timeoutMs) = 0;
  virtual void CancelWait() = 0;
  virtual bool Close() = 0;

  virtual const OsError& LastError() const = 0;
  virtual OpenFailure LastOpenFailure() const = 0;
};

// The device implementation of this OS.
std::unique_ptr<SerialDevice> CreatePlatformSerialDevice();

// A pseudo-terminal pair for the simulator and end-to-end tests: the master
// end as a SerialDevice (already open), and the path of the end a client opens.
// The slave is put in raw mode and kept open by the pair until it is destroyed,
// so the master does not see a hang-up before the client has opened its end.
struct PseudoTerminal {
  std::unique_ptr<SerialDevice> master;
  std::string slavePath;
  // Closes the pair's own slave handle (so that the master sees a hang-up once
  // the client closes too).
  std::shared_ptr<void> slaveKeeper;
};
bool OpenPseudoTerminal(PseudoTerminal& out, OsError& error);

}  // namespace t42rm
