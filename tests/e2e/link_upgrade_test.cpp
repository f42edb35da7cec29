// Whole upgrades: cSerialClient1 with its link and reader thread on the slave
// end of a pseudo-terminal, the device simulator on the master end.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "common/base_global.h"
#include "common/byte_order.h"
#include "protocol/cSerialClient1.h"
#include "protocol/streaming_state.h"
#include "serial/event_loop.h"
#include "sim/device_simulator.h"

namespace t42rm {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

// Images: `dataBlocks` blocks of a pattern, the rest 0xFF, `size` bytes in all
// (firmware modes: payload wrapped in a 64-byte header and a CRC trailer).
Bytes Payload(uint32_t size, int dataBlocks) {
  Bytes b(size, 0xFF);
  for (uint32_t i = 0; i < size && i < static_cast<uint32_t>(dataBlocks) * kBlockSize; ++i)
    b[i] = static_cast<uint8_t>(i * 13 + 1);
  return b;
}
Bytes WrapQlb(const Bytes& payload) {
  Bytes f(kQlbHeaderSize + payload.size() + kQlbTrailerSize, 0x42);
  std::copy(payload.begin(), payload.end(), f.begin() + kQlbHeaderSize);
  const size_t body = f.size() - kQlbTrailerSize;
  put_le32(f.data() + body, Crc32(f.data(), body));
  return f;
}

// What the device must end up with in the mode's CRC region, computed from the
// file without the client's code.
Bytes ExpectedRegion(UpgradeMode mode, const Bytes& file) {
  const uint32_t size = static_cast<uint32_t>(file.size());
  switch (mode) {
    case kModeBootAndFirmware:
    case kModeFirmware: {
      Bytes prepared(file.begin() + kQlbHeaderSize, file.end() - kQlbTrailerSize);
      prepared.resize(size, 0xFF);  // 68 bytes of 0xFF close the prepared image
      if (mode == kModeBootAndFirmware) return prepared;
      prepared.resize(kFirmwareFirstOffset + kFirmwareCrcLength, 0x00);
      return Bytes(prepared.begin() + kFirmwareFirstOffset, prepared.end());
    }
    case kModeModule: {
      Bytes r = file;
      r.resize(std::max<size_t>(r.size(), kModuleCrcLength), 0x00);
      r.resize(kModuleCrcLength);
      return r;
    }
    default:
      return file;
  }
}

class Session : public cSerialClient1, public ClientOwner, public TransferObserver {
 public:
  Session() {
    m_pOwner = this;
    SetObserver(this);
  }
  ~Session() override { CloseLink(); }
  using cSerialClient1::OnDeviceLost;
  void OnImageCrcSent(uint32_t crc) override { sentCrc = crc; finished = true; }
  void OnDeviceLost(const std::string& detail) override { lostDetail = detail; ++lost; }
  void OnBlockSent(uint32_t, uint32_t, bool blank, bool repeat, uint32_t) override {
    ++blocks;
    blanks += blank;
    repeats += repeat;
  }
  bool finished = false;
  uint32_t sentCrc = 0;
  int lost = 0, blocks = 0, blanks = 0, repeats = 0;
  std::string lostDetail;
};

class LinkUpgrade : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetStreamingState();
    OsError err;
    ASSERT_TRUE(OpenPseudoTerminal(pty, err)) << err.Describe();
    dir = fs::temp_directory_path() / ("t42rm-e2e-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string WriteImage(const std::string& name, const Bytes& bytes) {
    const fs::path p = dir / name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<std::streamsize>(bytes.size()));
    return p.string();
  }

  // Runs one upgrade: the simulator in a thread, the client's user thread here.
  sim::SimResult Upgrade(Session& s, UpgradeMode mode, const std::string& path, uint32_t size,
                         sim::SimulatorOptions options, std::chrono::seconds limit = 60s) {
    options.expectedMode = mode;
    options.startTimeoutMs = 10000;
    sim::DeviceSimulator simulator(*pty.master, MonotonicClock(), options);
    auto verdict = std::async(std::launch::async, [&] { return simulator.Run(); });
    s.SetExecutor(&loop);
    EXPECT_EQ(s.OpenLink(PortSettings{}, pty.slavePath), 1);
    s.m_job = {mode, path, fs::path(path).filename().string(), static_cast<int32_t>(size)};
    EXPECT_EQ(s.StartTransfer(), StartOutcome::kStarted);
    const auto end = std::chrono::steady_clock::now() + limit;
    while (verdict.wait_for(0s) != std::future_status::ready && std::chrono::steady_clock::now() < end)
      loop.RunFor(20ms);
    if (verdict.wait_for(0s) != std::future_status::ready) simulator.Cancel();
    loop.RunFor(100ms);  // the last hand-offs
    return verdict.get();
  }

  PseudoTerminal pty;
  EventLoop loop;
  fs::path dir;
};

struct ModeCase {
  const char* name;
  UpgradeMode mode;
  uint32_t payloadSize;
  int dataBlocks;
};

TEST_F(LinkUpgrade, EveryModeArrivesIntactWithTheRightImageCrc) {
  const ModeCase cases[] = {
      {"channel, 2 data blocks and a padded tail", kModeChannel, 2 * kBlockSize + 1000, 2},
      // Module and firmware images fill their CRC regions: zero padding would
      // be streamed as data blocks at ~1.1 s each.
      {"module", kModeModule, kModuleCrcLength, 1},
      {"boot loader and firmware", kModeBootAndFirmware, 3 * kBlockSize - kQlbOverhead, 1},
      {"firmware: from 0x20000 past the CRC region", kModeFirmware,
       kFirmwareFirstOffset + kFirmwareCrcLength, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetStreamingState();
    Bytes file = Payload(c.payloadSize, c.dataBlocks);
    if (c.mode == kModeFirmware) {
      // One data block at the first streamed offset: the payload right after
      // the 0x20000 point (file offset 0x20000 + 64).
      for (uint32_t i = 0; i < kBlockSize; ++i) file[kFirmwareFirstOffset + i] = static_cast<uint8_t>(i);
    }
    if (c.mode == kModeFirmware || c.mode == kModeBootAndFirmware) file = WrapQlb(file);
    const std::string path = WriteImage(std::string("image-") + ModeName(c.mode), file);

    Session s;
    if (c.mode != kModeChannel) {
      // A fresh pty per case: the simulator owns one conversation.
      OsError err;
      ASSERT_TRUE(OpenPseudoTerminal(pty, err)) << err.Describe();
    }
    const sim::SimResult r = Upgrade(s, c.mode, path, static_cast<uint32_t>(file.size()), {});
    EXPECT_TRUE(r.ok) << r.Summary();
    EXPECT_TRUE(r.violations.empty()) << (r.violations.empty() ? "" : r.violations[0].Describe());
    EXPECT_TRUE(s.finished);
    ASSERT_TRUE(r.imageCrc.has_value());
    const Bytes expected = ExpectedRegion(c.mode, file);
    EXPECT_EQ(*r.imageCrc, Crc32(expected.data(), expected.size()));
    EXPECT_EQ(s.sentCrc, *r.imageCrc);
    EXPECT_TRUE(r.region == expected) << "region of " << r.region.size() << " bytes, expected "
                                      << expected.size();
    EXPECT_FALSE(s.m_bTransferActive);
  }
}

TEST_F(LinkUpgrade, QueriesRepeatAndTwoFramesInOneWrite) {
  const Bytes file = Payload(2 * kBlockSize, 1);  // one data block, one blank
  const std::string path = WriteImage("query.qlu", file);
  sim::SimulatorOptions o;
  o.sendUpgradeQuery = true;
  o.sendBootStart = true;
  o.repeatBlocks = {{0, 1}};
  o.twoInOneFrame = 1;  // DevUpgradeQuery and the frame of block 1 in one write
  Session s;
  const sim::SimResult r = Upgrade(s, kModeChannel, path, static_cast<uint32_t>(file.size()), o);
  EXPECT_TRUE(r.ok) << r.Summary();
  EXPECT_EQ(r.repeatsAsked, 1);
  EXPECT_EQ(s.repeats, 1);
  EXPECT_GE(r.blanks, 1);
  EXPECT_EQ(s.blanks, r.blanks);
  EXPECT_EQ(r.region, file);
}

TEST_F(LinkUpgrade, UnpluggedDeviceIsReportedAndNothingHangs) {
  const Bytes file = Payload(4 * kBlockSize, 0);  // blank blocks: quick
  const std::string path = WriteImage("unplug.qlu", file);
  sim::SimulatorOptions o;
  o.hangUpAfterBlock = 1;
  Session s;
  const sim::SimResult r = Upgrade(s, kModeChannel, path, static_cast<uint32_t>(file.size()), o, 20s);
  EXPECT_FALSE(r.ok);
  pty.master.reset();  // the device end is gone
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (s.lost == 0 && std::chrono::steady_clock::now() < end) loop.RunFor(20ms);
  EXPECT_EQ(s.lost, 1);
  EXPECT_FALSE(s.lostDetail.empty());
  EXPECT_FALSE(s.finished);
  EXPECT_EQ(s.CloseLink(), 1);
}

}  // namespace
}  // namespace t42rm
