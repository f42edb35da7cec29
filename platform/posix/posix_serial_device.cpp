#include "platform/posix/posix_serial_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

namespace t42rm {
namespace {

struct Speed {
  uint32_t rate;
  speed_t code;
};

constexpr Speed kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool SpeedCode(uint32_t rate, speed_t& code) {
  for (const Speed& s : kSpeeds) {
    if (s.rate == rate) {
      code = s.code;
      return true;
    }
  }
  return false;
}

uint32_t SpeedRate(speed_t code) {
  for (const Speed& s : kSpeeds) {
    if (s.code == code) return s.rate;
  }
  return 0;  // a speed outside the table (custom divisor)
}

constexpr tcflag_t kRawInputOff = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL;
constexpr tcflag_t kRawLocalOff = ICANON | ECHO | ECHONL | ISIG | IEXTEN;
#ifdef CMSPAR
constexpr tcflag_t kParityBits = PARENB | PARODD | CMSPAR;
#else
constexpr tcflag_t kParityBits = PARENB | PARODD;
#endif

OpenFailure FailureFromErrno(int code) {
  switch (code) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return OpenFailure::kMissing;
    case EBUSY:
    case EWOULDBLOCK:
      return OpenFailure::kBusy;
    case EACCES:
    case EPERM:
      return OpenFailure::kPermission;
    case ENOTTY:
      return OpenFailure::kNotSerial;
    default:
      return OpenFailure::kOther;
  }
}

void SetNonBlockCloexec(int fd) {
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl | O_NONBLOCK);
  const int fdfl = ::fcntl(fd, F_GETFD);
  if (fdfl >= 0) ::fcntl(fd, F_SETFD, fdfl | FD_CLOEXEC);
}

// Milliseconds left until deadline for poll, rounded up so a wait never ends
// early and spins; -1 without a deadline.
int PollTimeout(bool bounded, std::chrono::steady_clock::time_point deadline) {
  if (!bounded) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  return left.count() > 0x7fffffff ? 0x7fffffff : static_cast<int>(left.count());
}

}  // namespace

PosixSerialDevice::PosixSerialDevice() { CreateWakePipe(); }

PosixSerialDevice::PosixSerialDevice(int fd, std::string name) : path_(std::move(name)) {
  CreateWakePipe();
  if (fd >= 0) SetNonBlockCloexec(fd);
  fd_.store(fd);
}

PosixSerialDevice::~PosixSerialDevice() {
  Close();
  if (wakeRead_ >= 0) ::close(wakeRead_);
  if (wakeWrite_ >= 0) ::close(wakeWrite_);
}

void PosixSerialDevice::CreateWakePipe() {
  int p[2];
  if (::pipe(p) != 0) {
    wakeErrno_ = errno;
    Fail("create wake-up pipe", wakeErrno_);
    return;
  }
  SetNonBlockCloexec(p[0]);
  SetNonBlockCloexec(p[1]);
  wakeRead_ = p[0];
  wakeWrite_ = p[1];
}

bool PosixSerialDevice::Fail(const char* what, int code) {
  return Fail(what, code, nullptr);
}

bool PosixSerialDevice::Fail(const char* what, int code, const char* message) {
  std::lock_guard lock(errorMutex_);
  error_.op = what;
  if (!path_.empty()) error_.op += " " + path_;
  error_.code = code;
  error_.message = message ? std::string(message) : std::generic_category().message(code);
  return false;
}

bool PosixSerialDevice::FailOpen(const char* what, int code, OpenFailure failure) {
  lastOpenFailure_ = failure;
  return Fail(what, code);
}

std::string PosixSerialDevice::Path() const {
  std::lock_guard lock(errorMutex_);
  return path_;
}

const OsError& PosixSerialDevice::LastError() const {
  // A per-thread copy: the reader thread may record an error while the user
  // thread looks at the previous one.
  thread_local OsError view;
  std::lock_guard lock(errorMutex_);
  view = error_;
  return view;
}

int PosixSerialDevice::OpenFd() {
  const int fd = fd_.load();
  if (fd < 0) Fail("use of closed device", EBADF);
  return fd;
}

bool PosixSerialDevice::Open(const std::string& path) {
  if (IsOpen()) {
    lastOpenFailure_ = OpenFailure::kOther;
    return Fail("open", EBUSY, "device already open");
  }
  {
    std::lock_guard lock(errorMutex_);
    path_ = path;
    error_ = {};
  }
  lastOpenFailure_ = OpenFailure::kNone;
  locked_ = false;
  exclusive_ = false;
  if (!CanWait()) return FailOpen("create wake-up pipe", wakeErrno_, OpenFailure::kOther);

  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int e = errno;
    return FailOpen("open", e, FailureFromErrno(e));
  }

  // Anything that is not a terminal (regular file, /dev/null, pipe) stops here.
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    const int e = errno;
    ::close(fd);
    return FailOpen("open", e,
                    e == ENOTTY || e == EINVAL ? OpenFailure::kNotSerial : FailureFromErrno(e));
  }

  // The lock first: TIOCEXCL is the terminal's flag, and setting it before we
  // know the device is ours would change another holder's device. root ignores
  // TIOCEXCL, so the lock is what keeps a second open out.
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    locked_ = true;
  } else if (errno == EWOULDBLOCK) {
    ::close(fd);
    lastOpenFailure_ = OpenFailure::kBusy;
    return Fail("open", EWOULDBLOCK, "device in use by another process");
  } else if (errno != ENOLCK && errno != EINVAL && errno != EOPNOTSUPP) {
    // Where locks are not supported at all, TIOCEXCL alone must do.
    const int e = errno;
    ::close(fd);
    return FailOpen("lock", e, OpenFailure::kOther);
  }
#ifdef TIOCEXCL
  if (::ioctl(fd, TIOCEXCL) == 0) exclusive_ = true;
#endif

  ConsumeCancel();  // a stop meant for the previous session
  fd_.store(fd);
  return true;
}

bool PosixSerialDevice::GetSettings(LineSettings& out) {
  const int fd = OpenFd();
  if (fd < 0) return false;
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return Fail("tcgetattr", errno);

  LineSettings s;
  s.baudRate = SpeedRate(::cfgetospeed(&tio));
  switch (tio.c_cflag & CSIZE) {
    case CS5: s.dataBits = 5; break;
    case CS6: s.dataBits = 6; break;
    case CS7: s.dataBits = 7; break;
    default: s.dataBits = 8; break;
  }
  s.parity = 0;
  if (tio.c_cflag & PARENB) {
    const bool odd = (tio.c_cflag & PARODD) != 0;
#ifdef CMSPAR
    if (tio.c_cflag & CMSPAR)
      s.parity = odd ? 3 : 4;
    else
#endif
      s.parity = odd ? 1 : 2;
  }
  s.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
#ifdef CRTSCTS
  s.ctsOutFlow = (tio.c_cflag & CRTSCTS) != 0;
#else
  s.ctsOutFlow = false;
#endif
  s.dsrOutFlow = false;
  s.xonXoff = (tio.c_iflag & (IXON | IXOFF)) != 0;
  s.raw = (tio.c_lflag & kRawLocalOff) == 0 && (tio.c_oflag & OPOST) == 0 &&
          (tio.c_iflag & kRawInputOff) == 0;
  out = s;
  return true;
}

bool PosixSerialDevice::ApplySettings(const LineSettings& settings) {
  const int fd = OpenFd();
  if (fd < 0) return false;

  speed_t speed;
  if (!SpeedCode(settings.baudRate, speed)) return Fail("set speed", EINVAL);
  tcflag_t size;
  switch (settings.dataBits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return Fail("set data bits", EINVAL);
  }
  tcflag_t parity;
  switch (settings.parity) {
    case 0: parity = 0; break;
    case 1: parity = PARENB | PARODD; break;
    case 2: parity = PARENB; break;
#ifdef CMSPAR
    case 3: parity = PARENB | PARODD | CMSPAR; break;
    case 4: parity = PARENB | CMSPAR; break;
#endif
    default: return Fail("set parity", EINVAL);
  }
  if (settings.stopBits > 2) return Fail("set stop bits", EINVAL);
  // termios knows one or two stop bits; one and a half is two.
  const tcflag_t stop = settings.stopBits == 0 ? 0 : CSTOPB;

  termios before{};
  if (::tcgetattr(fd, &before) != 0) return Fail("tcgetattr", errno);
  termios tio = before;
  if (settings.raw) {
    tio.c_iflag &= ~(kRawInputOff | IXON);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~kRawLocalOff;
  } else {
    tio.c_iflag |= ICRNL | BRKINT;
    tio.c_oflag |= OPOST | ONLCR;
    tio.c_lflag |= ICANON | ECHO | ECHOE | ECHOK | ISIG | IEXTEN;
  }
  tio.c_iflag &= ~(IXON | IXOFF);
  if (settings.xonXoff) tio.c_iflag |= IXON | IXOFF;
  tio.c_cflag &= ~(CSIZE | kParityBits | CSTOPB);
  tio.c_cflag |= size | parity | stop | CLOCAL | CREAD;
#ifdef CRTSCTS
  tio.c_cflag &= ~CRTSCTS;
  if (settings.ctsOutFlow) tio.c_cflag |= CRTSCTS;
#endif
  // Reads never block in the kernel; waiting is WaitForInput's job.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0)
    return Fail("set speed", errno);
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) return Fail("tcsetattr", errno);

  // tcsetattr succeeds when any part took; a driver may quietly keep its own
  // speed or character format (a pseudo-terminal forces 8 bits, no parity).
  termios now{};
  if (::tcgetattr(fd, &now) != 0) return Fail("tcgetattr", errno);
  const tcflag_t line = CSIZE | kParityBits | CSTOPB;
  if (::cfgetospeed(&now) != speed || (now.c_cflag & line) != (tio.c_cflag & line)) {
    ::tcsetattr(fd, TCSANOW, &before);
    return Fail("tcsetattr", EINVAL, "line settings not accepted by the device");
  }
  return true;
}

bool PosixSerialDevice::Purge() {
  const int fd = OpenFd();
  if (fd < 0) return false;
  if (::tcflush(fd, TCIOFLUSH) != 0) return Fail("tcflush", errno);
  return true;
}

bool PosixSerialDevice::ModemLine(int line, bool on, const char* what) {
  const int fd = OpenFd();
  if (fd < 0) return false;
  int bits = line;
  if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return true;
  // A pseudo-terminal has no modem lines and says so; nothing to set there.
  if (errno == ENOTTY || errno == EINVAL) return true;
  return Fail(what, errno);
}

bool PosixSerialDevice::SetRts(bool on) { return ModemLine(TIOCM_RTS, on, "set RTS"); }
bool PosixSerialDevice::SetDtr(bool on) { return ModemLine(TIOCM_DTR, on, "set DTR"); }

size_t PosixSerialDevice::Write(const uint8_t* data, size_t count, int timeoutMs) {
  const int fd = OpenFd();
  if (fd < 0 || count == 0) return 0;
  const bool bounded = timeoutMs >= 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd, data + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      Fail("write", errno);
      break;
    }
    // The output queue is full: wait for room.
    pollfd p{fd, POLLOUT, 0};
    const int timeout = PollTimeout(bounded, deadline);
    if (timeout == 0) {
      Fail("write", ETIMEDOUT);
      break;
    }
    const int r = ::poll(&p, 1, timeout);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      Fail("write", errno);
      break;
    }
    if (r == 0) {
      Fail("write", ETIMEDOUT);
      break;
    }
    if ((p.revents & POLLOUT) == 0) {
      Fail("write", EIO, "device hung up");
      break;
    }
  }
  return done;
}

long PosixSerialDevice::BytesWaiting() {
  std::lock_guard lock(readerMutex_);
  const int fd = OpenFd();
  if (fd < 0) return -1;
  int n = 0;
  if (::ioctl(fd, FIONREAD, &n) != 0) {
    Fail("FIONREAD", errno);
    return -1;
  }
  return n;
}

long PosixSerialDevice::Read(uint8_t* data, size_t max) {
  std::lock_guard lock(readerMutex_);
  const int fd = OpenFd();
  if (fd < 0) return -1;
  if (max == 0) return 0;
  for (;;) {
    const ssize_t n = ::read(fd, data, max);
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (n < 0) {
      // EIO: the other end of a pseudo-terminal is gone, or the device was unplugged.
      Fail("read", errno);
      return -1;
    }
    // With VMIN=0 an empty queue also reads 0; only a hang-up makes it final.
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      Fail("read", EIO, "device hung up");
      return -1;
    }
    return 0;
  }
}

void PosixSerialDevice::CancelWait() {
  // One byte per pending cancel; the waiter drains it before clearing the flag,
  // so a cancel can be merged into one being delivered but never stranded.
  if (wakeWrite_ < 0 || cancelPending_.exchange(true)) return;
  const uint8_t b = 1;
  while (::write(wakeWrite_, &b, 1) < 0 && errno == EINTR) {
  }
}

void PosixSerialDevice::ConsumeCancel() {
  if (wakeRead_ < 0) return;
  std::array<uint8_t, 64> sink;
  while (::read(wakeRead_, sink.data(), sink.size()) > 0) {
  }
  cancelPending_.store(false);
}

WaitResult PosixSerialDevice::WaitForInput(int timeoutMs) {
  std::lock_guard lock(readerMutex_);
  if (!CanWait()) {
    Fail("create wake-up pipe", wakeErrno_);
    return WaitResult::kError;
  }
  const int fd = fd_.load();
  if (fd < 0) {
    if (cancelPending_.load()) {
      ConsumeCancel();
      return WaitResult::kCancelled;
    }
    Fail("wait on closed device", EBADF);
    return WaitResult::kError;
  }

  const bool bounded = timeoutMs >= 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd p[2] = {{fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    const int r = ::poll(p, 2, PollTimeout(bounded, deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      Fail("poll", errno);
      return WaitResult::kError;
    }
    if (r == 0) return WaitResult::kTimeout;
    // A cancel goes first: input stays queued for the next wait.
    if (p[1].revents & POLLIN) {
      ConsumeCancel();
      return WaitResult::kCancelled;
    }
    const short ev = p[0].revents;
    if (ev & POLLNVAL) {
      Fail("poll", EBADF);
      return WaitResult::kError;
    }
    const bool hungUp = (ev & (POLLHUP | POLLERR)) != 0;
    if (ev & POLLIN) {
      // A hung-up terminal also reports itself readable; it is only ready if
      // something is really queued.
      int n = 0;
      if (!hungUp || (::ioctl(fd, FIONREAD, &n) == 0 && n > 0)) return WaitResult::kReady;
    }
    if (hungUp) {
      Fail("wait", 0, "device hung up");
      return WaitResult::kHangUp;
    }
  }
}

bool PosixSerialDevice::Close() {
  const int fd = fd_.exchange(-1);
  if (fd < 0) return true;
  CancelWait();
  std::lock_guard lock(readerMutex_);
#ifdef TIOCNXCL
  // The flag belongs to the terminal and outlives this descriptor when
  // someone else (a pseudo-terminal's keeper) still has it open.
  if (exclusive_) ::ioctl(fd, TIOCNXCL);
#endif
  if (locked_) ::flock(fd, LOCK_UN);
  locked_ = false;
  exclusive_ = false;
  // After EINTR the descriptor is gone all the same (Linux); do not retry.
  if (::close(fd) != 0 && errno != EINTR) return Fail("close", errno);
  return true;
}

std::unique_ptr<SerialDevice> CreatePlatformSerialDevice() {
  return std::make_unique<PosixSerialDevice>();
}

}  // namespace t42rm
