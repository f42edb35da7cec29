// The platform device against a pseudo-terminal: line settings, reading,
// waiting, cancelling, hang-ups and writes that meet a full queue.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "tests/platform/pty_fixture.h"

namespace t42rm::testing {
namespace {

using namespace std::chrono_literals;

class PtyDevice : public PtyTest {
 protected:
  void SetUp() override {
    PtyTest::SetUp();
    client_ = CreatePlatformSerialDevice();
    ASSERT_TRUE(client_->Open(pty_.slavePath)) << client_->LastError().Describe();
  }
  SerialDevice& Client() { return *client_; }

  std::unique_ptr<SerialDevice> client_;
};

void ExpectSameLine(const LineSettings& got, const LineSettings& want) {
  EXPECT_EQ(got.baudRate, want.baudRate);
  EXPECT_EQ(got.dataBits, want.dataBits);
  EXPECT_EQ(got.parity, want.parity);
  EXPECT_EQ(got.stopBits, want.stopBits);
  EXPECT_EQ(got.ctsOutFlow, want.ctsOutFlow);
  EXPECT_EQ(got.xonXoff, want.xonXoff);
  EXPECT_EQ(got.raw, want.raw);
}

LineSettings Line(uint32_t baud, uint8_t bits, uint8_t parity, uint8_t stop, bool cts = false,
                  bool xon = false, bool raw = true) {
  LineSettings s;
  s.baudRate = baud;
  s.dataBits = bits;
  s.parity = parity;
  s.stopBits = stop;
  s.ctsOutFlow = cts;
  s.xonXoff = xon;
  s.raw = raw;
  return s;
}

TEST_F(PtyDevice, SettingsReadBackAsApplied) {
  struct Case {
    LineSettings apply;
    uint8_t stopBitsRead;
  } cases[] = {
      {Line(115200, 8, 0, 0), 0},
      {Line(9600, 8, 0, 2, /*cts=*/true, /*xon=*/true, /*raw=*/false), 2},
      {Line(57600, 8, 0, 1), 2},  // one and a half stop bits: two
      {Line(230400, 8, 0, 0, false, true), 0},
      {Line(50, 8, 0, 0, true, false), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.apply.baudRate);
    ASSERT_TRUE(Client().ApplySettings(c.apply)) << Client().LastError().Describe();
    LineSettings got;
    ASSERT_TRUE(Client().GetSettings(got));
    LineSettings want = c.apply;
    want.stopBits = c.stopBitsRead;
    ExpectSameLine(got, want);
    EXPECT_FALSE(got.dsrOutFlow);
  }
}

TEST_F(PtyDevice, SettingsTermiosCannotExpressAreRefusedUnchanged) {
  const LineSettings start = Line(19200, 8, 0, 2, true, true);
  ASSERT_TRUE(Client().ApplySettings(start));
  const LineSettings bad[] = {
      Line(12345, 8, 0, 0), Line(0, 8, 0, 0), Line(115200, 4, 0, 0),
      Line(115200, 9, 0, 0), Line(115200, 8, 5, 0), Line(115200, 8, 0, 3),
  };
  for (const LineSettings& s : bad) {
    SCOPED_TRACE(::testing::Message() << s.baudRate << " " << int(s.dataBits) << int(s.parity)
                                      << int(s.stopBits));
    EXPECT_FALSE(Client().ApplySettings(s));
    EXPECT_EQ(Client().LastError().code, EINVAL);
    LineSettings got;
    ASSERT_TRUE(Client().GetSettings(got));
    ExpectSameLine(got, start);
  }
}

// A driver may keep its own character format (Linux pseudo-terminals force 8
// bits, no parity): the device must then say so instead of claiming success.
TEST_F(PtyDevice, CharacterFormatIsAppliedOrRefusedNeverFaked) {
  const LineSettings start = Line(38400, 8, 0, 0);
  const LineSettings formats[] = {
      Line(38400, 7, 2, 0), Line(38400, 5, 1, 2), Line(38400, 6, 3, 0), Line(38400, 8, 4, 0)};
  for (const LineSettings& s : formats) {
    SCOPED_TRACE(::testing::Message() << int(s.dataBits) << " bits, parity " << int(s.parity));
    ASSERT_TRUE(Client().ApplySettings(start));
    const bool applied = Client().ApplySettings(s);
    LineSettings got;
    ASSERT_TRUE(Client().GetSettings(got));
    if (applied) {
      ExpectSameLine(got, s);
    } else {
      EXPECT_EQ(Client().LastError().code, EINVAL);
      ExpectSameLine(got, start);
    }
  }
}

TEST_F(PtyDevice, ModemLinesAreAcceptedWithoutModemLines) {
  EXPECT_TRUE(Client().SetRts(true)) << Client().LastError().Describe();
  EXPECT_TRUE(Client().SetDtr(true)) << Client().LastError().Describe();
  EXPECT_TRUE(Client().SetRts(false));
  EXPECT_TRUE(Client().SetDtr(false));
}

TEST_F(PtyDevice, ReadsWhatTheMasterWrote) {
  const auto sent = Pattern(300);
  ASSERT_EQ(Master().Write(sent.data(), sent.size(), 1000), sent.size());
  ASSERT_EQ(Client().WaitForInput(2000), WaitResult::kReady);
  EXPECT_GT(Client().BytesWaiting(), 0);

  // A read never hands out more than asked.
  uint8_t first[10];
  ASSERT_EQ(Client().Read(first, sizeof first), 10);
  std::vector<uint8_t> got(first, first + 10);
  const auto rest = ReadUpTo(Client(), sent.size() - got.size());
  got.insert(got.end(), rest.begin(), rest.end());
  EXPECT_EQ(got, sent);

  uint8_t buf[8];
  EXPECT_EQ(Client().Read(buf, sizeof buf), 0);  // empty, not an error
  EXPECT_EQ(Client().BytesWaiting(), 0);
}

TEST_F(PtyDevice, PurgeDropsQueuedInput) {
  const auto sent = Pattern(64);
  ASSERT_EQ(Master().Write(sent.data(), sent.size(), 1000), sent.size());
  ASSERT_EQ(Client().WaitForInput(2000), WaitResult::kReady);
  ASSERT_TRUE(Client().Purge()) << Client().LastError().Describe();
  EXPECT_EQ(Client().BytesWaiting(), 0);
  EXPECT_EQ(Client().WaitForInput(20), WaitResult::kTimeout);
}

TEST_F(PtyDevice, WaitTimesOutWithoutInput) {
  EXPECT_EQ(Client().WaitForInput(0), WaitResult::kTimeout);
  EXPECT_EQ(Client().WaitForInput(20), WaitResult::kTimeout);
}

TEST_F(PtyDevice, CancelBeforeWaitIsDeliveredOnce) {
  Client().CancelWait();
  Client().CancelWait();
  Client().CancelWait();
  // Input waiting does not hide the stop request.
  const uint8_t b = 0x5A;
  ASSERT_EQ(Master().Write(&b, 1, 1000), 1u);
  EXPECT_EQ(Client().WaitForInput(5000), WaitResult::kCancelled);
  EXPECT_EQ(Client().WaitForInput(2000), WaitResult::kReady);
  uint8_t got = 0;
  ASSERT_EQ(Client().Read(&got, 1), 1);
  EXPECT_EQ(got, b);
  EXPECT_EQ(Client().WaitForInput(20), WaitResult::kTimeout);
}

TEST_F(PtyDevice, ClosedDeviceRefusesWorkAndReopens) {
  ASSERT_TRUE(Client().Close());
  EXPECT_FALSE(Client().IsOpen());
  EXPECT_TRUE(Client().Close());  // nothing left to close

  // Close counts as a stop request for a reader that was not waiting yet.
  EXPECT_EQ(Client().WaitForInput(5000), WaitResult::kCancelled);
  EXPECT_EQ(Client().WaitForInput(5000), WaitResult::kError);

  const uint8_t b = 1;
  uint8_t buf[4];
  LineSettings s;
  EXPECT_EQ(Client().Write(&b, 1, 100), 0u);
  EXPECT_EQ(Client().Read(buf, sizeof buf), -1);
  EXPECT_EQ(Client().BytesWaiting(), -1);
  EXPECT_FALSE(Client().GetSettings(s));
  EXPECT_EQ(Client().LastError().code, EBADF);
  EXPECT_FALSE(Client().ApplySettings(LineSettings{}));
  EXPECT_FALSE(Client().Purge());

  // A stop request of the closed session does not reach the next one.
  Client().CancelWait();
  ASSERT_TRUE(Client().Open(pty_.slavePath)) << Client().LastError().Describe();
  EXPECT_EQ(Client().LastOpenFailure(), OpenFailure::kNone);
  EXPECT_TRUE(Client().LastError().ok());
  EXPECT_EQ(Client().WaitForInput(20), WaitResult::kTimeout);
  const auto sent = Pattern(16, 3);
  ASSERT_EQ(Master().Write(sent.data(), sent.size(), 1000), sent.size());
  EXPECT_EQ(ReadUpTo(Client(), sent.size()), sent);
}

TEST_F(PtyDevice, SecondOpenOfAnOpenDeviceFails) {
  auto other = CreatePlatformSerialDevice();
  EXPECT_FALSE(other->Open(pty_.slavePath));
  EXPECT_EQ(other->LastOpenFailure(), OpenFailure::kBusy);
  EXPECT_FALSE(other->IsOpen());
  EXPECT_NE(other->LastError().Describe().find(pty_.slavePath), std::string::npos);
  // Open on the device that already holds it is refused too, and keeps it open.
  EXPECT_FALSE(Client().Open(pty_.slavePath));
  EXPECT_TRUE(Client().IsOpen());

  ASSERT_TRUE(Client().Close());
  EXPECT_TRUE(other->Open(pty_.slavePath)) << other->LastError().Describe();
}

TEST_F(PtyDevice, OpenRefusesWhatIsNotATerminal) {
  auto device = CreatePlatformSerialDevice();
  EXPECT_FALSE(device->Open("/dev/null"));
  EXPECT_EQ(device->LastOpenFailure(), OpenFailure::kNotSerial);
  EXPECT_EQ(device->LastError().code, ENOTTY);
  EXPECT_FALSE(device->IsOpen());
}

TEST_F(PtyDevice, MasterSeesHangUpOnlyOnceClientAndKeeperAreGone) {
  ASSERT_TRUE(Client().Close());
  EXPECT_EQ(Master().WaitForInput(20), WaitResult::kTimeout);  // the keeper holds the line
  pty_.slaveKeeper.reset();
  EXPECT_EQ(Master().WaitForInput(2000), WaitResult::kHangUp);
  EXPECT_FALSE(Master().LastError().ok());
  uint8_t buf[4];
  EXPECT_EQ(Master().Read(buf, sizeof buf), -1);
}

TEST_F(PtyDevice, ClientSeesHangUpWhenMasterCloses) {
  pty_.master.reset();
  pty_.slaveKeeper.reset();
  EXPECT_EQ(Client().WaitForInput(2000), WaitResult::kHangUp);
  EXPECT_FALSE(Client().LastError().ok());
  uint8_t buf[4];
  EXPECT_EQ(Client().Read(buf, sizeof buf), -1);
  EXPECT_EQ(Client().LastError().code, EIO);
  // A write into the hung-up line fails and returns (no SIGPIPE, no wait).
  const auto sent = Pattern(32);
  EXPECT_LT(Client().Write(sent.data(), sent.size(), 5000), sent.size());
  EXPECT_FALSE(Client().LastError().ok());
}

TEST_F(PtyDevice, WriteGivesUpAtItsTimeoutAndKeepsWhatWasTaken) {
  // Far more than a pseudo-terminal queues while nobody reads the master.
  const auto sent = Pattern(1 << 20);
  const size_t taken = Client().Write(sent.data(), sent.size(), 50);
  ASSERT_GT(taken, 0u);
  ASSERT_LT(taken, sent.size());
  EXPECT_EQ(Client().LastError().code, ETIMEDOUT);

  const auto got = ReadUpTo(Master(), taken);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin()));
  EXPECT_EQ(got.size(), taken);
  EXPECT_EQ(Master().WaitForInput(20), WaitResult::kTimeout);
}

// --- with threads ---

class PtyDeviceThreaded : public PtyDevice {};

TEST_F(PtyDeviceThreaded, InputWakesWaitInProgress) {
  auto waiter = std::async(std::launch::async, [&] { return Client().WaitForInput(5000); });
  std::this_thread::sleep_for(30ms);  // most likely inside poll by now; either way ready
  const uint8_t b = 7;
  ASSERT_EQ(Master().Write(&b, 1, 1000), 1u);
  EXPECT_EQ(waiter.get(), WaitResult::kReady);
}

TEST_F(PtyDeviceThreaded, CancelWakesWaitInProgress) {
  auto waiter = std::async(std::launch::async, [&] { return Client().WaitForInput(-1); });
  std::this_thread::sleep_for(30ms);
  Client().CancelWait();
  EXPECT_EQ(waiter.get(), WaitResult::kCancelled);
  EXPECT_EQ(Client().WaitForInput(20), WaitResult::kTimeout);  // consumed, not sticky
}

TEST_F(PtyDeviceThreaded, CloseWakesWaitInProgress) {
  auto waiter = std::async(std::launch::async, [&] { return Client().WaitForInput(-1); });
  std::this_thread::sleep_for(30ms);
  EXPECT_TRUE(Client().Close());
  EXPECT_EQ(waiter.get(), WaitResult::kCancelled);
  // The line was released: another device may take it.
  auto other = CreatePlatformSerialDevice();
  EXPECT_TRUE(other->Open(pty_.slavePath)) << other->LastError().Describe();
}

// One device read by one thread and written by another at the same time; the
// master echoes everything back.
TEST_F(PtyDeviceThreaded, FullDuplexOnOneDevice) {
  const auto sent = Pattern(48 * 1024, 11);
  std::atomic<bool> stopEcho{false};
  std::thread echo([&] {
    uint8_t buf[1024];
    while (!stopEcho) {
      const WaitResult r = Master().WaitForInput(-1);
      if (r != WaitResult::kReady) continue;
      const long n = Master().Read(buf, sizeof buf);
      if (n <= 0) continue;
      Master().Write(buf, static_cast<size_t>(n), 5000);
    }
  });
  auto reader = std::async(std::launch::async, [&] {
    std::vector<uint8_t> got;
    uint8_t buf[2048];
    while (got.size() < sent.size()) {
      if (Client().WaitForInput(5000) != WaitResult::kReady) break;
      const long waiting = Client().BytesWaiting();
      if (waiting < 0) break;
      const long n = Client().Read(buf, std::min<size_t>(sizeof buf, size_t(waiting)));
      if (n < 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  });
  size_t written = 0;
  for (size_t off = 0; off < sent.size(); off += 1000) {
    const size_t n = std::min<size_t>(1000, sent.size() - off);
    written += Client().Write(sent.data() + off, n, 5000);
  }
  const auto got = reader.get();
  stopEcho = true;
  Master().CancelWait();
  echo.join();
  EXPECT_EQ(written, sent.size());
  EXPECT_EQ(got, sent);
}

}  // namespace
}  // namespace t42rm::testing
