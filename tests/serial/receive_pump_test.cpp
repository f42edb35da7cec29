// The link and the receive pump with real threads, against the fake device.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/cSerialClient1.h"
#include "protocol/streaming_state.h"
#include "serial/event_loop.h"
#include "tests/support/fake_serial_device.h"

namespace t42rm {
namespace {

using namespace std::chrono_literals;
using testing::FakeSerialDevice;
using Bytes = std::vector<uint8_t>;

Bytes DeviceFrame(uint16_t code, uint16_t status = 0) {
  return {0xFD, 0x00, uint8_t(code >> 8), uint8_t(code), uint8_t(status >> 8), uint8_t(status),
          0, 0, 0, 0, 0xC5, 0x8D};
}

struct Lines : LogSink, DebugSink {
  std::mutex mutex;
  std::vector<std::string> log, trace;
  void WriteLine(int level, std::string_view line) override {
    std::lock_guard l(mutex);
    log.push_back(std::to_string(level) + ":" + std::string(line));
  }
  void Trace(std::string_view text) override {
    std::lock_guard l(mutex);
    trace.emplace_back(text);
  }
};

// A client that records what each hand-off saw, on the user thread.
class RecordingClient : public cSerialClient1, public ClientOwner {
 public:
  explicit RecordingClient(std::shared_ptr<FakeSerialDevice::Shared> dev)
      : cSerialClient1(std::make_unique<FakeSerialDevice>(std::move(dev))) {
    m_pOwner = this;
  }
  ~RecordingClient() override { CloseLink(); }
  int OnSerialFrame(uintptr_t w, intptr_t l) override {
    EXPECT_EQ(threadId, std::this_thread::get_id()) << "hand-off off the user thread";
    handoffs.emplace_back(m_pRxBuf.get(), m_pRxBuf.get() + m_nRxCount);
    return cSerialClient1::OnSerialFrame(w, l);
  }
  void OnDeviceLost(const OsError& e) override {
    ++lost;
    cSerialClient1::OnDeviceLost(e);
  }
  std::thread::id threadId = std::this_thread::get_id();
  std::vector<Bytes> handoffs;
  int lost = 0;
};

class ReceivePumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetStreamingState();
    dev = std::make_shared<FakeSerialDevice::Shared>();
    client = std::make_unique<RecordingClient>(dev);
    client->SetExecutor(&loop);
    client->SetLogSink(&lines);
    client->SetTraceSink(&lines);
    client->InitPort(nullptr, 4096, 4096);
    ASSERT_EQ(client->OpenLink(PortSettings{}, "/dev/fake0"), 1);
  }
  // Runs the user thread until `n` hand-offs were seen or the time is up.
  void RunUntilHandoffs(size_t n, std::chrono::milliseconds limit = 2s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (client->handoffs.size() < n && std::chrono::steady_clock::now() < end) loop.RunFor(10ms);
  }
  EventLoop loop;
  Lines lines;
  std::shared_ptr<FakeSerialDevice::Shared> dev;
  std::unique_ptr<RecordingClient> client;
};

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST_F(ReceivePumpTest, AlignsOnStartByteAndHandsOverWhenAHeaderIsHeld) {
  struct Case {
    const char* name;
    std::vector<Bytes> arrivals;  // pushed ~100 ms apart
    std::vector<size_t> handoffSizes;
  };
  const Bytes f = DeviceFrame(kCodeDevUpgradeQuery);
  const std::vector<Case> cases = {
      {"whole frame", {f}, {12}},
      {"split 5 + 7", {Bytes(f.begin(), f.begin() + 5), Bytes(f.begin() + 5, f.end())}, {12}},
      {"garbage first", {Concat({{0x01, 0x02, 0x03}, f})}, {12}},
      {"two frames together", {Concat({f, f})}, {24, 12}},
      {"13 bytes", {Concat({f, {0x55}})}, {13}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    client->handoffs.clear();
    for (const auto& a : c.arrivals) {
      dev->Push(a);
      loop.RunFor(100ms);
    }
    RunUntilHandoffs(c.handoffSizes.size());
    loop.RunFor(200ms);  // no further hand-off may come
    ASSERT_EQ(client->handoffs.size(), c.handoffSizes.size());
    for (size_t i = 0; i < c.handoffSizes.size(); ++i) {
      EXPECT_EQ(client->handoffs[i].size(), c.handoffSizes[i]);
      EXPECT_EQ(client->handoffs[i][0], kFrameStartByte);
    }
  }
}

TEST_F(ReceivePumpTest, ElevenBytesWaitForMoreAndJunkAloneIsDropped) {
  const Bytes f = DeviceFrame(kCodeDevNextBlock);
  dev->Push({0x10, 0x20, 0x30});
  dev->Push(Bytes(f.begin(), f.begin() + 11));
  loop.RunFor(300ms);
  EXPECT_TRUE(client->handoffs.empty());
  dev->Push({f[11]});
  RunUntilHandoffs(1);
  ASSERT_EQ(client->handoffs.size(), 1u);
  EXPECT_EQ(client->handoffs[0], f);
}

TEST_F(ReceivePumpTest, HandOffDrivesTheDispatcherAndTracesTheCount) {
  client->m_bTransferActive = true;
  dev->Push(Concat({DeviceFrame(kCodeDevUpgradeQuery), DeviceFrame(kCodeDevUpgradeQuery)}));
  RunUntilHandoffs(2);
  ASSERT_EQ(client->handoffs.size(), 2u);
  // One UPGRADE answer per hand-off: the second frame came one pass later.
  const Bytes upgrade = {0xFD, 0xC9, 0x04, 0x10, 0, 0, 0, 0, 0, 0, 0x8D, 0xC5};
  const auto writes = dev->TakeWrites();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], upgrade);
  EXPECT_EQ(writes[1], upgrade);
  std::lock_guard l(lines.mutex);
  std::vector<std::string> sizes;
  for (const auto& t : lines.trace)
    if (t.rfind("******dwSize", 0) == 0) sizes.push_back(t);
  EXPECT_EQ(sizes, (std::vector<std::string>{"******dwSize = 24\n", "******dwSize = 12\n"}));
}

TEST_F(ReceivePumpTest, SecondOpenLinkKeepsTheFirstAndCloseLinkOnClosedLinkIsSilent) {
  EXPECT_EQ(client->OpenLink(PortSettings{}, "/dev/other"), 1);
  EXPECT_EQ(dev->opens, 1);
  EXPECT_EQ(dev->openedPath, "/dev/fake0");
  EXPECT_EQ(client->CloseLink(), 1);
  EXPECT_FALSE(dev->open);
  EXPECT_FALSE(dev->dtr) << "DTR is cleared at close";
  const size_t logged = lines.log.size();
  EXPECT_EQ(client->CloseLink(), 0);
  EXPECT_EQ(lines.log.size(), logged);
  // And the link can be opened again, with a fresh reader.
  EXPECT_EQ(client->OpenLink(PortSettings{}, "/dev/fake0"), 1);
  dev->Push(DeviceFrame(kCodeDevUpgradeQuery));
  RunUntilHandoffs(1);
  EXPECT_EQ(client->handoffs.size(), 1u);
}

TEST_F(ReceivePumpTest, FailedOpenLogsAndLeavesThePortClosed) {
  auto other = std::make_shared<FakeSerialDevice::Shared>();
  other->failOpen = OpenFailure::kMissing;
  RecordingClient c(other);
  c.SetExecutor(&loop);
  c.SetLogSink(&lines);
  EXPECT_EQ(c.OpenLink(PortSettings{}, "/dev/nothing"), 0);
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(c.LastOpenFailure(), OpenFailure::kMissing);
  EXPECT_EQ(lines.log.back(), "0:/dev/nothing - Open Failed..");
}

TEST_F(ReceivePumpTest, DeviceLossIsReportedOnceAndTheReaderStops) {
  dev->HangUp();
  const auto end = std::chrono::steady_clock::now() + 2s;
  while (client->lost == 0 && std::chrono::steady_clock::now() < end) loop.RunFor(10ms);
  loop.RunFor(200ms);
  EXPECT_EQ(client->lost, 1);
  EXPECT_NE(lines.log.back().find("Device lost"), std::string::npos) << lines.log.back();
}

TEST_F(ReceivePumpTest, IdleReaderBlocksInsteadOfPolling) {
  // After a frame has come and gone the link is idle: the reader must sleep in
  // the device wait, not pass every 51 ms (or every 1 ms) asking for bytes.
  dev->Push(DeviceFrame(kCodeDevUpgradeQuery));
  RunUntilHandoffs(1);
  loop.RunFor(100ms);
  int before;
  {
    std::lock_guard l(dev->mutex);
    before = dev->waitingCalls;
  }
  loop.RunFor(400ms);
  std::lock_guard l(dev->mutex);
  EXPECT_EQ(dev->waitingCalls, before);
}

TEST_F(ReceivePumpTest, DestroyingTheClientWithAHandOffQueuedDoesNotHang) {
  dev->Push(DeviceFrame(kCodeDevUpgradeQuery));
  // Do not run the loop: the reader waits in its hand-off. Destruction must
  // cancel it and join the reader; the queued task must then do nothing.
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(loop.Pending(), 1u);
  client.reset();
  loop.RunFor(50ms);  // runs the cancelled task: touches nothing freed
  SUCCEED();
}

TEST_F(ReceivePumpTest, CloseLinkFromInsideAHandOffDoesNotDeadlock) {
  class Closer : public RecordingClient {
   public:
    using RecordingClient::RecordingClient;
    int OnSerialFrame(uintptr_t w, intptr_t l) override {
      RecordingClient::OnSerialFrame(w, l);
      closed = CloseLink();
      return 0;
    }
    int closed = -1;
  };
  client.reset();
  auto d = std::make_shared<FakeSerialDevice::Shared>();
  Closer c(d);
  c.SetExecutor(&loop);
  ASSERT_EQ(c.OpenLink(PortSettings{}, "/dev/fake1"), 1);
  d->Push(DeviceFrame(kCodeDevUpgradeQuery));
  const auto end = std::chrono::steady_clock::now() + 2s;
  while (c.closed == -1 && std::chrono::steady_clock::now() < end) loop.RunFor(10ms);
  EXPECT_EQ(c.closed, 1);
  EXPECT_FALSE(c.IsOpen());
}

}  // namespace
}  // namespace t42rm
