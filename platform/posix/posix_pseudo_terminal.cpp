#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <mutex>
#include <system_error>

#include "platform/posix/posix_serial_device.h"

namespace t42rm {
namespace {

bool Fail(OsError& error, std::string op, int code) {
  error = {std::move(op), code, std::generic_category().message(code)};
  return false;
}

bool MakeRaw(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return false;
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

bool SlaveName(int master, std::string& name) {
#if defined(__GLIBC__)
  std::array<char, 128> buf{};
  if (::ptsname_r(master, buf.data(), buf.size()) != 0) return false;
  name = buf.data();
  return true;
#else
  // ptsname returns a static buffer.
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  const char* p = ::ptsname(master);
  if (!p) return false;
  name = p;
  return true;
#endif
}

}  // namespace

bool OpenPseudoTerminal(PseudoTerminal& out, OsError& error) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) return Fail(error, "posix_openpt", errno);

  std::string slavePath;
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || !SlaveName(master, slavePath)) {
    const int e = errno;
    ::close(master);
    return Fail(error, "unlock pseudo-terminal", e);
  }

  // The pair's own handle on the slave: it keeps the master from seeing a
  // hang-up until a client has come and gone, and puts the line in raw mode
  // before anyone reads it. It takes neither the lock nor TIOCEXCL, so the
  // client can have both.
  int slave;
  do {
    slave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (slave < 0 && errno == EINTR);
  if (slave < 0) {
    const int e = errno;
    ::close(master);
    return Fail(error, "open " + slavePath, e);
  }
  // Both ends: some systems keep one set of modes for the pair, others one per end.
  if (!MakeRaw(slave) || !MakeRaw(master)) {
    const int e = errno;
    ::close(slave);
    ::close(master);
    return Fail(error, "set raw mode on " + slavePath, e);
  }

  auto device = std::make_unique<PosixSerialDevice>(master, "pty master of " + slavePath);
  if (!device->CanWait()) {
    error = device->LastError();
    ::close(slave);
    return false;  // the device closes the master
  }
  out.master = std::move(device);
  out.slavePath = slavePath;
  out.slaveKeeper = std::shared_ptr<void>(new int(slave), [](void* p) {
    int* fd = static_cast<int*>(p);
    ::close(*fd);
    delete fd;
  });
  error = {};
  return true;
}

}  // namespace t42rm
