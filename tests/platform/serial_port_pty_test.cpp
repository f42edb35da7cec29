// sock_rs232c1 on this OS's device: what OpenPort leaves on the line, writes
// reaching the other end, and the ways an open fails.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "serial/sock_rs232c1.h"
#include "tests/platform/pty_fixture.h"

namespace t42rm::testing {
namespace {

constexpr char kGetConfigProblem[] = "Get configuration port has problem.\r\n";

class RecordingSink : public DebugSink {
 public:
  void Trace(std::string_view text) override { lines.emplace_back(text); }
  std::vector<std::string> lines;
};

class PtyPort : public PtyTest {
 protected:
  void SetUp() override {
    PtyTest::SetUp();
    ASSERT_EQ(port_.InitPort(nullptr, 4096, 4096), 1);
    port_.SetDebugSink(&sink_);
  }

  RecordingSink sink_;
  sock_rs232c1 port_;
};

TEST_F(PtyPort, OpenPortPutsTheLineAt115200_8N1Raw) {
  // Start from a line that differs in every setting OpenPort changes.
  {
    auto device = CreatePlatformSerialDevice();
    ASSERT_TRUE(device->Open(pty_.slavePath));
    LineSettings off;
    off.baudRate = 9600;
    off.stopBits = 2;
    off.ctsOutFlow = true;
    off.xonXoff = true;
    off.raw = false;
    ASSERT_TRUE(device->ApplySettings(off)) << device->LastError().Describe();
  }

  ASSERT_EQ(port_.OpenPort(PortSettings{}, pty_.slavePath), 1) << port_.LastOpenError().Describe();
  EXPECT_EQ(port_.IsOpen(), 1);
  EXPECT_EQ(port_.LastOpenFailure(), OpenFailure::kNone);
  EXPECT_TRUE(sink_.lines.empty());

  LineSettings got;
  ASSERT_TRUE(port_.Device().GetSettings(got));
  EXPECT_EQ(got.baudRate, 115200u);
  EXPECT_EQ(got.dataBits, 8);
  EXPECT_EQ(got.parity, 0);
  EXPECT_EQ(got.stopBits, 0);
  EXPECT_TRUE(got.raw);
  EXPECT_FALSE(got.ctsOutFlow);
  EXPECT_FALSE(got.dsrOutFlow);
  EXPECT_TRUE(got.xonXoff);  // software flow is left as the device had it

  EXPECT_EQ(port_.OpenPort(PortSettings{}, pty_.slavePath), 0);  // already open
  EXPECT_EQ(port_.IsOpen(), 1);
}

TEST_F(PtyPort, OpenFailuresReportTheCause) {
  const std::filesystem::path dir = ::testing::TempDir();
  const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  const std::filesystem::path file = dir / ("t42rm_" + test + ".bin");
  std::ofstream(file) << "not a terminal";
  const std::filesystem::path missing = dir / ("t42rm_" + test + "_missing");
  std::filesystem::remove(missing);

  struct Case {
    std::string path;
    OpenFailure failure;
  } cases[] = {
      {missing.string(), OpenFailure::kMissing},
      {file.string(), OpenFailure::kNotSerial},
      {"/dev/null", OpenFailure::kNotSerial},
      {dir.string(), OpenFailure::kOther},  // a directory cannot be opened for writing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    sink_.lines.clear();
    EXPECT_EQ(port_.OpenPort(PortSettings{}, c.path), 0);
    EXPECT_EQ(port_.IsOpen(), 0);
    EXPECT_FALSE(port_.Device().IsOpen());
    EXPECT_EQ(port_.LastOpenFailure(), c.failure);
    EXPECT_NE(port_.LastOpenError().code, 0);
    EXPECT_NE(port_.LastOpenError().Describe().find(c.path), std::string::npos)
        << port_.LastOpenError().Describe();
    EXPECT_EQ(sink_.lines, std::vector<std::string>{kGetConfigProblem});
  }
  std::filesystem::remove(file);

  // None of these left anything held: the real device opens afterwards.
  EXPECT_EQ(port_.OpenPort(PortSettings{}, pty_.slavePath), 1);
}

TEST_F(PtyPort, SecondPortOnTheSameDeviceIsBusyUntilTheFirstCloses) {
  ASSERT_EQ(port_.OpenPort(PortSettings{}, pty_.slavePath), 1);
  sock_rs232c1 second;
  RecordingSink secondSink;
  second.SetDebugSink(&secondSink);
  ASSERT_EQ(second.InitPort(nullptr, 4096, 4096), 1);

  EXPECT_EQ(second.OpenPort(PortSettings{}, pty_.slavePath), 0);
  EXPECT_EQ(second.LastOpenFailure(), OpenFailure::kBusy);
  EXPECT_EQ(secondSink.lines, std::vector<std::string>{kGetConfigProblem});

  EXPECT_EQ(port_.ClosePort(), 1);
  EXPECT_EQ(port_.IsOpen(), 0);
  EXPECT_EQ(port_.ClosePort(), 1);  // closing a closed port
  EXPECT_EQ(second.OpenPort(PortSettings{}, pty_.slavePath), 1)
      << second.LastOpenError().Describe();
  EXPECT_EQ(second.ClosePort(), 1);
  // And the first port can have it again.
  EXPECT_EQ(port_.OpenPort(PortSettings{}, pty_.slavePath), 1) << port_.LastOpenError().Describe();
}

TEST_F(PtyPort, RefusedLineSettingsAreReportedAndReleaseTheDevice) {
  PortSettings odd;
  odd.BaudRate = 12345;
  EXPECT_EQ(port_.OpenPort(odd, pty_.slavePath), 0);
  EXPECT_EQ(port_.IsOpen(), 0);
  EXPECT_EQ(port_.LastOpenError().code, EINVAL);
  char expected[64];
  std::snprintf(expected, sizeof expected, "Set configuration port has problem(%d).\r\n", EINVAL);
  EXPECT_EQ(sink_.lines, std::vector<std::string>{expected});

  EXPECT_EQ(port_.OpenPort(PortSettings{}, pty_.slavePath), 1) << port_.LastOpenError().Describe();
}

class PtyPortThreaded : public PtyPort {};

TEST_F(PtyPortThreaded, WritePortBytesArriveWhole) {
  ASSERT_EQ(port_.OpenPort(PortSettings{}, pty_.slavePath), 1);
  // A header, then a block larger than the line queues.
  const auto sent = Pattern(kHeaderSize + kBlockSize * 2 + 100, 5);
  const int32_t blockSize = static_cast<int32_t>(sent.size()) - kHeaderSize;

  // Drain the master while writing, or the write would run out of time.
  auto reader = std::async(std::launch::async, [&] { return ReadUpTo(Master(), sent.size()); });
  EXPECT_NE(port_.WritePort(sent.data(), kHeaderSize), 0);
  EXPECT_NE(port_.WritePort(sent.data() + kHeaderSize, blockSize), 0);
  EXPECT_EQ(reader.get(), sent);

  EXPECT_EQ(port_.WritePort(sent.data(), 0), 0);  // nothing to write
  EXPECT_EQ(Master().WaitForInput(20), WaitResult::kTimeout);
}

}  // namespace
}  // namespace t42rm::testing
