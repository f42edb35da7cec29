// The simulator's wire pieces without a line: frame bytes, the block plan of
// each mode, and how fault writes are shaped (virtual time, fake device).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/fake_clock.h"
#include "sim/device_protocol.h"
#include "sim/frame_writer.h"
#include "tests/sim/pty_client.h"
#include "tests/support/fake_serial_device.h"

namespace t42rm::sim {
namespace {

using namespace t42rm::sim::testing;
using ::testing::ElementsAre;

TEST(DeviceWire, DeviceFrameIsBigEndianWithReversedEndMark) {
  const DeviceFrame f = EncodeDeviceFrame(0x1021, 192, 0x1234, 0xABCD);
  EXPECT_EQ(Bytes(f.begin(), f.end()),
            (Bytes{0xFD, 0x5A, 0x10, 0x21, 0x00, 0xC0, 0x12, 0x34, 0xAB, 0xCD, 0xC5, 0x8D}));
}

TEST(DeviceWire, ClientHeaderIsLittleEndianAndNeedsBothMarks) {
  const std::array<uint8_t, 12> ok{0xFD, 0xC9, 0x20, 0x10, 0x00, 0x00, 0xF4, 0xCB, 0x26, 0x39, 0x8D, 0xC5};
  const ClientHeader h = DecodeClientHeader(ok);
  EXPECT_TRUE(h.marksOk);
  EXPECT_EQ(h.code, 0x1020);
  EXPECT_EQ(h.status, 0);
  EXPECT_EQ((uint32_t{h.word3} << 16) | h.word4, 0xCBF43926u);

  for (size_t at : {0u, 1u, 10u, 11u}) {
    auto bad = ok;
    bad[at] ^= 0x01;
    EXPECT_FALSE(DecodeClientHeader(bad).marksOk) << "byte " << at;
  }
  // A device frame (end mark high byte first) is not a client frame.
  auto device = ok;
  std::swap(device[10], device[11]);
  EXPECT_FALSE(DecodeClientHeader(device).marksOk);
}

struct PlanCase {
  UpgradeMode mode;
  uint32_t size;
  uint32_t first, blocks, crcLength;
};

void PrintTo(const PlanCase& c, std::ostream* os) {
  *os << ModeName(c.mode) << " size " << c.size;
}

class BlockPlanTable : public ::testing::TestWithParam<PlanCase> {};

TEST_P(BlockPlanTable, CoversTheImageAndTheCrcRegion) {
  const PlanCase& c = GetParam();
  const BlockPlan p = PlanBlocks(c.mode, c.size);
  EXPECT_EQ(p.firstOffset, c.first);
  EXPECT_EQ(p.blockCount, c.blocks);
  EXPECT_EQ(p.crcLength, c.crcLength);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, BlockPlanTable,
    ::testing::Values(
        // Firmware: 192 blocks from 0x20000 up to 0x1A0000 bytes, more beyond.
        PlanCase{kModeFirmware, 1000, 0x20000, 192, 0x180000},
        PlanCase{kModeFirmware, 0x1A0000, 0x20000, 192, 0x180000},
        PlanCase{kModeFirmware, 0x1A0001, 0x20000, 193, 0x180000},
        // Boot loader and firmware: the size rounded up, CRC over the size.
        PlanCase{kModeBootAndFirmware, 10000, 0, 2, 10000},
        PlanCase{kModeBootAndFirmware, 16384, 0, 2, 16384},
        // Module: at least 256 KiB, CRC over 256 KiB.
        PlanCase{kModeModule, 1000, 0, 32, 0x40000},
        PlanCase{kModeModule, 0x40001, 0, 33, 0x40000},
        // Channel: the size rounded up; an empty image has no block.
        PlanCase{kModeChannel, 10000, 0, 2, 10000}, PlanCase{kModeChannel, 8192, 0, 1, 8192},
        PlanCase{kModeChannel, 0, 0, 0, 0}));

TEST(DeviceWire, StartCodesAnswerWithCodePlusOne) {
  for (auto [req, ans, mode] : {std::tuple{0x1006, 0x1007, kModeFirmware},
                                std::tuple{0x1004, 0x1005, kModeBootAndFirmware},
                                std::tuple{0x1040, 0x1041, kModeModule},
                                std::tuple{0x1042, 0x1043, kModeChannel}}) {
    const auto s = StartCodeForRequest(static_cast<uint16_t>(req));
    ASSERT_TRUE(s.has_value()) << req;
    EXPECT_EQ(s->answer, ans);
    EXPECT_EQ(s->mode, mode);
  }
  EXPECT_FALSE(StartCodeForRequest(0x1008).has_value());
  EXPECT_FALSE(StartCodeForRequest(0x1043).has_value());
}

// The writes as the line saw them, and the pauses taken between them.
class ShapedWrites : public ::testing::Test {
 protected:
  ShapedWrites() { EXPECT_TRUE(line_.Open("fake")); }
  std::vector<Bytes> Writes() { return line_.state()->TakeWrites(); }

  t42rm::testing::FakeSerialDevice line_;
  FakeClock clock_;
  const DeviceFrame frame_ = EncodeDeviceFrame(kCodeDevNextBlock);
  const Bytes frameBytes_{frame_.begin(), frame_.end()};
};

TEST_F(ShapedWrites, PlainFrameIsOneWrite) {
  FrameWriter w(line_, clock_);
  ASSERT_TRUE(w.Write(PlanFrameWrites(frame_, {}, {})));
  EXPECT_THAT(Writes(), ElementsAre(frameBytes_));
  EXPECT_TRUE(clock_.Sleeps().empty());
}

TEST_F(ShapedWrites, SplitIsFivePlusSevenBytesThirtyMsApart) {
  FrameWriter w(line_, clock_);
  FrameFaults f;
  f.split = true;
  ASSERT_TRUE(w.Write(PlanFrameWrites(frame_, f, {})));
  EXPECT_THAT(Writes(), ElementsAre(Bytes(frameBytes_.begin(), frameBytes_.begin() + 5),
                                    Bytes(frameBytes_.begin() + 5, frameBytes_.end())));
  EXPECT_THAT(clock_.Sleeps(), ElementsAre(30));
}

TEST_F(ShapedWrites, TwoInOneIsQueryAndFrameInOneWrite) {
  FrameWriter w(line_, clock_);
  FrameFaults f;
  f.twoInOne = true;
  ASSERT_TRUE(w.Write(PlanFrameWrites(frame_, f, {})));
  EXPECT_THAT(Writes(), ElementsAre(Cat({kDevUpgradeQuery, kDevNextBlock})));
}

TEST_F(ShapedWrites, SlowLineWritesEveryByteAloneWithGapsBetween) {
  FrameWriter w(line_, clock_, 3);
  ASSERT_TRUE(w.Write(PlanFrameWrites(frame_, {}, {})));
  const auto writes = Writes();
  ASSERT_EQ(writes.size(), 12u);
  for (size_t i = 0; i < writes.size(); ++i) EXPECT_EQ(writes[i], Bytes{frameBytes_[i]}) << i;
  EXPECT_EQ(clock_.Sleeps(), std::vector<int>(11, 3));
}

TEST_F(ShapedWrites, CombinedFaultsKeepTheirOrderAndSplitInsideTheFrame) {
  FrameFaults f;
  f.unknownCode = true;
  f.garbage = true;
  f.twoInOne = true;
  f.split = true;
  FaultTuning t;
  t.garbage = {0x11, 0x22};
  const auto plan = PlanFrameWrites(frame_, f, t);
  const Bytes unknown{0xFD, 0x5A, 0x10, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC5, 0x8D};
  ASSERT_EQ(plan.size(), 3u);
  EXPECT_EQ(plan[0].bytes, unknown);
  EXPECT_EQ(plan[1].bytes, Cat({{0x11, 0x22}, kDevUpgradeQuery, {0xFD, 0x5A, 0x10, 0x21, 0x00}}));
  EXPECT_EQ(plan[1].pauseAfterMs, 30);
  EXPECT_EQ(plan[2].bytes, (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0xC5, 0x8D}));
}

TEST_F(ShapedWrites, ShortWriteIsReported) {
  line_.Close();
  FrameWriter w(line_, clock_);
  EXPECT_FALSE(w.Write(PlanFrameWrites(frame_, {}, {})));
}

}  // namespace
}  // namespace t42rm::sim
