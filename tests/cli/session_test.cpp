// A flash session in-process, against the device simulator in a thread on a
// pseudo-terminal: the reader thread, the user thread and the device together
// (run under ThreadSanitizer too). What the device received must be the image,
// and an interrupted session must have closed its port when it returns.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "cli/exit_status.h"
#include "cli/flash_session.h"
#include "common/clock.h"
#include "platform/serial_device.h"
#include "sim/device_simulator.h"
#include "tests/cli/cli_test_support.h"

namespace t42rm::clitest {
namespace {

class RecordingView final : public cli::ProgressView {
 public:
  void Staged(const StagedImage& image) override { expected = image.blocksExpected; }
  void Block(const cli::BlockEvent& block, const cli::ProgressMeter&) override {
    indexes.push_back(block.index);
  }
  void End(const cli::Outcome& o, const cli::ProgressMeter*) override {
    outcome = o;
    ++ends;
  }
  uint32_t expected = 0;
  std::vector<uint32_t> indexes;
  cli::Outcome outcome;
  int ends = 0;
};

// The simulator on the master end of a fresh pseudo-terminal, in a thread.
class DeviceThread {
 public:
  explicit DeviceThread(sim::SimulatorOptions options) {
    OsError error;
    if (!OpenPseudoTerminal(pty_, error)) throw std::runtime_error(error.Describe());
    options.onClientActive = [this] { pty_.slaveKeeper.reset(); };
    device_ =
        std::make_unique<sim::DeviceSimulator>(*pty_.master, MonotonicClock(), std::move(options));
    thread_ = std::thread([this] { result_ = device_->Run(); });
  }
  ~DeviceThread() { Stop(); }
  const std::string& port() const { return pty_.slavePath; }
  sim::SimResult Stop() {
    device_->Cancel();
    if (thread_.joinable()) thread_.join();
    return result_;
  }
  // Waits for the verdict the device gives on its own.
  sim::SimResult Join() {
    if (thread_.joinable()) thread_.join();
    return result_;
  }

 private:
  PseudoTerminal pty_;
  std::unique_ptr<sim::DeviceSimulator> device_;
  std::thread thread_;
  sim::SimResult result_;
};

TEST(FlashSessionInProcess, DeviceReceivesTheImage) {
  TempDir dir;
  const Bytes file = BlankWithData(2 * kBlockSize + 100, {0, 2});
  WriteFile(dir / "c.qlu", file);
  sim::SimulatorOptions options;
  options.expectedMode = kModeChannel;
  DeviceThread device(options);

  RecordingView view;
  cli::FlashOptions o;
  o.port = device.port();
  o.image = dir / "c.qlu";
  o.timeoutSeconds = 10;
  const int status = cli::RunFlash(o, view, [] { return 0; });
  const sim::SimResult result = device.Join();

  ASSERT_EQ(status, cli::kExitDone) << view.outcome.message;
  ASSERT_TRUE(result.ok) << result.Summary();
  EXPECT_EQ(result.region, file);
  EXPECT_EQ(view.expected, 3u);
  EXPECT_EQ(view.indexes, (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(view.outcome.imageCrc, Crc(file, 0, file.size()));
  EXPECT_EQ(view.ends, 1);
}

TEST(FlashSessionInProcess, InterruptClosesThePortBeforeReturning) {
  TempDir dir;
  WriteFile(dir / "c.qlu", Bytes(4 * kBlockSize, 0xFF));
  sim::SimulatorOptions options;
  options.expectedMode = kModeChannel;
  options.silentAfterBlock = 1;  // silent until cancelled
  DeviceThread device(options);

  RecordingView view;
  cli::FlashOptions o;
  o.port = device.port();
  o.image = dir / "c.qlu";
  // Ctrl-C as soon as block 1 is out; the callback runs on the session's thread.
  const int status =
      cli::RunFlash(o, view, [&view] { return view.indexes.size() >= 2 ? SIGINT : 0; });

  EXPECT_EQ(status, cli::kExitInterruptBase + SIGINT);
  EXPECT_EQ(view.outcome.message, "interrupted after block 2 of 4; the port was closed");
  // The port is free again while this process still runs: the session let go
  // of its exclusive open.
  auto probe = CreatePlatformSerialDevice();
  EXPECT_TRUE(probe->Open(device.port())) << probe->LastError().Describe();
  probe->Close();
  EXPECT_FALSE(device.Stop().ok);
}

}  // namespace
}  // namespace t42rm::clitest
