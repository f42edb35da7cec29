// The simulator on the master of a pseudo-terminal, in a thread; the test is
// the client on the slave, writing its frames by hand.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "sim/device_simulator.h"
#include "tests/sim/pty_client.h"

namespace t42rm::sim {
namespace {

using namespace t42rm::sim::testing;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class SimulatorOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    OsError error;
    ASSERT_TRUE(OpenPseudoTerminal(pty_, error)) << error.Describe();
    slave_ = CreatePlatformSerialDevice();
    ASSERT_TRUE(slave_->Open(pty_.slavePath)) << slave_->LastError().Describe();
    ASSERT_TRUE(slave_->ApplySettings(LineSettings{})) << slave_->LastError().Describe();
    client_ = std::make_unique<PtyClient>(*slave_);
  }
  void TearDown() override {
    if (sim_) sim_->Cancel();
    if (thread_.joinable()) thread_.join();
    if (HasFailure()) std::cerr << "simulator progress:\n" << log_;
  }

  SimulatorOptions Options() {
    SimulatorOptions o;
    o.startTimeoutMs = 3000;
    o.replyTimeoutMs = 3000;
    o.emptyImageWaitMs = 100;
    o.onProgress = [this](std::string_view line) { log_.append(line).append("\n"); };
    return o;
  }
  void Start(SimulatorOptions o) {
    sim_ = std::make_unique<DeviceSimulator>(*pty_.master, MonotonicClock(), std::move(o));
    thread_ = std::thread([this] {
      result_ = sim_->Run();
      simDone_.store(true);
    });
  }
  SimResult Finish() {
    thread_.join();
    return result_;
  }

  // Answers every device frame as the client does, until the ImageCrc is
  // sent or the device stops; returns the device frames seen.
  std::vector<Bytes> PlayChannelClient(const Bytes& image) {
    std::vector<Bytes> seen;
    size_t next = 0;
    auto sendBlock = [&] {
      const Bytes block = ChannelBlock(image, next++);
      if (std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0xFF; }))
        client_->Send(kNonData);
      else
        client_->SendBlock(block);
    };
    for (;;) {
      Bytes f = client_->Receive(12, 3000, [this] { return simDone_.load(); });
      if (f.size() < 12) return seen;
      seen.push_back(f);
      const int code = f[2] << 8 | f[3];
      if (code == 0x1043) {
        next = 0;
        sendBlock();
      } else if (code == 0x1021) {
        if (f[5] == 0xC0) --next;
        sendBlock();
      } else if (code == 0x1001) {
        client_->Send(kUpgrade);
      } else if (code == 0x1023) {
        client_->Send(ImageCrc(Crc32(image)));
        return seen;
      } else {
        return seen;
      }
    }
  }

  PseudoTerminal pty_;
  std::unique_ptr<SerialDevice> slave_;
  std::unique_ptr<PtyClient> client_;
  std::unique_ptr<DeviceSimulator> sim_;
  std::thread thread_;
  std::atomic<bool> simDone_{false};
  SimResult result_;
  std::string log_;
};

TEST_F(SimulatorOnPty, ChannelUpgradeEndToEnd) {
  const Bytes image = PatternImage(10000);  // two blocks, the second zero-padded
  Start(Options());

  client_->Send({0xFD, 0xC9, 0x42, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,  //
                 0xFE, 0xC5, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00, 0x0D, 0xC9, 0x00, 0x00});
  EXPECT_EQ(client_->Receive(12), (Bytes{0xFD, 0x5A, 0x10, 0x43, 0, 0, 0, 0, 0, 0, 0xC5, 0x8D}));
  client_->SendBlock(ChannelBlock(image, 0));
  EXPECT_EQ(client_->Receive(12), (Bytes{0xFD, 0x5A, 0x10, 0x21, 0, 0, 0, 0, 0, 0, 0xC5, 0x8D}));
  client_->SendBlock(ChannelBlock(image, 1));
  EXPECT_EQ(client_->Receive(12), (Bytes{0xFD, 0x5A, 0x10, 0x23, 0, 0, 0, 0, 0, 0, 0xC5, 0x8D}));
  const uint32_t crc = Crc32(image);
  client_->Send(ImageCrc(crc));

  const SimResult r = Finish();
  EXPECT_TRUE(r.ok) << r.message;
  EXPECT_EQ(r.mode, kModeChannel);
  EXPECT_EQ(r.imageSize, 10000u);
  EXPECT_EQ(r.blocksReceived, 2);
  EXPECT_EQ(r.imageCrc, crc);
  EXPECT_EQ(r.computedCrc, crc);
  EXPECT_EQ(r.region, image);  // the CRC region is the size, not the padded blocks
  EXPECT_TRUE(r.violations.empty());
  char expected[96];
  std::snprintf(expected, sizeof expected, "verdict: ok mode=channel size=10000 blocks=2 repeats=0 crc=%08x", crc);
  EXPECT_THAT(r.Summary(), StartsWith(expected));
}

TEST_F(SimulatorOnPty, CrcMismatchIsAskedAgainWithStatus192) {
  const Bytes image = PatternImage(10000);
  Start(Options());
  client_->Send(ChannelStart(10000));
  ASSERT_EQ(client_->Receive(12), kResUpgradeChannel);
  const Bytes block0 = ChannelBlock(image, 0);
  client_->Send(BlockHeader(Crc32(block0) ^ 0x00010000));  // wrong in the high half
  client_->Send(block0);
  EXPECT_EQ(client_->Receive(12), (Bytes{0xFD, 0x5A, 0x10, 0x21, 0x00, 0xC0, 0, 0, 0, 0, 0xC5, 0x8D}));
  client_->SendBlock(block0);
  EXPECT_EQ(client_->Receive(12), kDevNextBlock);
  client_->SendBlock(ChannelBlock(image, 1));
  EXPECT_EQ(client_->Receive(12), kDevCrcRequest);
  client_->Send(ImageCrc(Crc32(image)));

  const SimResult r = Finish();
  EXPECT_TRUE(r.ok) << r.message;
  EXPECT_EQ(r.crcMismatches, 1);
  EXPECT_EQ(r.repeatsAsked, 1);
  EXPECT_EQ(r.blocksReceived, 3);
  EXPECT_EQ(r.region, image);  // the bad copy was not kept
}

TEST_F(SimulatorOnPty, NonDataIsABlankBlock) {
  Bytes image = PatternImage(3 * 8192);
  std::fill(image.begin() + 8192, image.begin() + 2 * 8192, 0xFF);
  Start(Options());
  client_->Send(ChannelStart(3 * 8192));
  ASSERT_EQ(client_->Receive(12), kResUpgradeChannel);
  client_->SendBlock(ChannelBlock(image, 0));
  ASSERT_EQ(client_->Receive(12), kDevNextBlock);
  client_->Send({0xFD, 0xC9, 0x20, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5});  // no data follows
  ASSERT_EQ(client_->Receive(12), kDevNextBlock);
  client_->SendBlock(ChannelBlock(image, 2));
  ASSERT_EQ(client_->Receive(12), kDevCrcRequest);
  client_->Send(ImageCrc(Crc32(image)));

  const SimResult r = Finish();
  EXPECT_TRUE(r.ok) << r.message;
  EXPECT_EQ(r.blanks, 1);
  EXPECT_EQ(r.blocksReceived, 3);
  EXPECT_EQ(r.region, image);
}

struct BadStart {
  const char* name;
  Bytes bytes;
  const char* what;
};

void PrintTo(const BadStart& c, std::ostream* os) { *os << c.name; }

class WrongStartFrame : public SimulatorOnPty, public ::testing::WithParamInterface<BadStart> {};

TEST_P(WrongStartFrame, IsAViolationWithItsBytesAndIsNotAnswered) {
  Start(Options());
  client_->Send(GetParam().bytes);
  const SimResult r = Finish();
  EXPECT_FALSE(r.ok);
  ASSERT_EQ(r.violations.size(), 1u);
  EXPECT_THAT(r.violations[0].what, HasSubstr(GetParam().what));
  EXPECT_EQ(r.violations[0].bytes, GetParam().bytes);
  EXPECT_THAT(r.message, HasSubstr(HexBytes(GetParam().bytes)));
  EXPECT_EQ(client_->Receive(1, 100), Bytes{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WrongStartFrame,
    ::testing::Values(
        BadStart{"FlagZero",
                 {0xFD, 0xC9, 0x42, 0x10, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
                  0xFE, 0xC5, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00, 0x0D, 0xC9, 0x00, 0x00},
                 "word 2 is 0"},
        BadStart{"HeaderOnly", {0xFD, 0xC9, 0x42, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5},
                 "length 0"},
        BadStart{"DeviceEndMark", {0xFD, 0xC9, 0x42, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0xC5, 0x8D},
                 "marks"},
        BadStart{"BigEndianWords",
                 {0xFD, 0xC9, 0x10, 0x42, 0x00, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x8D, 0xC5},
                 "code 0x4210"},
        BadStart{"ReadDataIsNoStart",
                 {0xFD, 0xC9, 0x08, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
                  0xFE, 0xC5, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00, 0x0D, 0xC9, 0x00, 0x00},
                 "code 0x1008"},
        BadStart{"BodyEndMarkSwapped",
                 {0xFD, 0xC9, 0x42, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
                  0xFE, 0xC5, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00, 0xC9, 0x0D, 0x00, 0x00},
                 "body marks"},
        BadStart{"ReservedTailNotZero",
                 {0xFD, 0xC9, 0x06, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
                  0xFE, 0xC5, 0x00, 0x00, 0x00, 0x00, 0x18, 0x00, 0x0D, 0xC9, 0x01, 0x00},
                 "bytes 10-11"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimulatorOnPty, StartFrameOfAnotherModeIsRefused) {
  SimulatorOptions o = Options();
  o.expectedMode = kModeChannel;
  Start(std::move(o));
  client_->Send({0xFD, 0xC9, 0x40, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,  // module
                 0xFE, 0xC5, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00, 0x0D, 0xC9, 0x00, 0x00});
  const SimResult r = Finish();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.mode, kModeModule);
  EXPECT_THAT(r.message, HasSubstr("refused"));
  EXPECT_THAT(r.message, HasSubstr("module"));
  EXPECT_EQ(client_->Receive(1, 100), Bytes{});
}

TEST_F(SimulatorOnPty, WrongImageCrcMakesTheVerdictNegative) {
  const Bytes image = PatternImage(5000);
  Start(Options());
  client_->Send(ChannelStart(5000));
  ASSERT_EQ(client_->Receive(12), kResUpgradeChannel);
  client_->SendBlock(ChannelBlock(image, 0));
  ASSERT_EQ(client_->Receive(12), kDevCrcRequest);
  // The CRC of the padded block instead of the 5000 image bytes.
  const uint32_t wrong = Crc32(ChannelBlock(image, 0));
  client_->Send(ImageCrc(wrong));

  const SimResult r = Finish();
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.violations.empty());
  EXPECT_EQ(r.imageCrc, wrong);
  EXPECT_EQ(r.computedCrc, Crc32(image));
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08x", wrong);
  EXPECT_THAT(r.message, HasSubstr(hex));
  EXPECT_THAT(r.Summary(), StartsWith("verdict: FAILED mode=channel size=5000 blocks=1"));
}

TEST_F(SimulatorOnPty, QueryAndBootStartAnswersAreChecked) {
  const Bytes image = PatternImage(5000);
  SimulatorOptions o = Options();
  o.sendUpgradeQuery = true;
  o.sendBootStart = true;
  Start(std::move(o));
  client_->Send(ChannelStart(5000));
  ASSERT_EQ(client_->Receive(12), kDevUpgradeQuery);
  client_->Send(kUpgrade);
  ASSERT_EQ(client_->Receive(12), kDevBootStart);
  // B_UPGRADE_START with 5000 = 0x1388 (low half first), but one byte off.
  client_->Send({0xFD, 0xC9, 0x06, 0x10, 0x00, 0x00, 0x89, 0x13, 0x00, 0x00, 0x8D, 0xC5});
  ASSERT_EQ(client_->Receive(12), kResUpgradeChannel);
  client_->SendBlock(ChannelBlock(image, 0));
  ASSERT_EQ(client_->Receive(12), kDevCrcRequest);
  client_->Send(ImageCrc(Crc32(image)));

  const SimResult r = Finish();
  EXPECT_FALSE(r.ok);
  ASSERT_EQ(r.violations.size(), 1u);
  EXPECT_THAT(r.violations[0].what, HasSubstr("size 5001"));
  EXPECT_EQ(r.computedCrc, *r.imageCrc);  // the upgrade itself went through
}

TEST_F(SimulatorOnPty, EmptyImageGoesStraightToTheCrcRequest) {
  Start(Options());
  client_->Send(ChannelStart(0));
  ASSERT_EQ(client_->Receive(12), kResUpgradeChannel);
  ASSERT_EQ(client_->Receive(12), kDevCrcRequest);
  client_->Send(ImageCrc(0));  // CRC-32 of nothing
  const SimResult r = Finish();
  EXPECT_TRUE(r.ok) << r.message;
  EXPECT_EQ(r.blocksReceived, 0);
  EXPECT_TRUE(r.regionComplete);
}

TEST_F(SimulatorOnPty, SilenceAfterARequestIsReportedWithTheBlock) {
  SimulatorOptions o = Options();
  o.replyTimeoutMs = 200;
  Start(std::move(o));
  client_->Send(ChannelStart(10000));
  ASSERT_EQ(client_->Receive(12), kResUpgradeChannel);
  const SimResult r = Finish();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "no BlockHeader for block 0 within 0.2 s");
}

TEST_F(SimulatorOnPty, ClientClosingTheLineEndsRun) {
  Start(Options());
  client_->Send(ChannelStart(10000));
  ASSERT_EQ(client_->Receive(12), kResUpgradeChannel);
  pty_.slaveKeeper.reset();
  slave_->Close();
  const SimResult r = Finish();
  EXPECT_FALSE(r.ok);
  EXPECT_THAT(r.message, HasSubstr("hung up"));
  EXPECT_THAT(r.message, HasSubstr("block 0"));
}

TEST_F(SimulatorOnPty, CancelEndsAWaitForTheStartFrame) {
  SimulatorOptions o = Options();
  o.startTimeoutMs = 60000;
  Start(std::move(o));
  sim_->Cancel();
  const SimResult r = Finish();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "cancelled while waiting for start frame");
}

// Block faults on a two-block channel image: the device frames the client
// sees, and the verdict.
struct BlockFaultCase {
  const char* name;
  std::function<void(SimulatorOptions&)> set;
  std::vector<Bytes> frames;
  bool ok;
  const char* message;  // substring
};

void PrintTo(const BlockFaultCase& c, std::ostream* os) { *os << c.name; }

class BlockFault : public SimulatorOnPty, public ::testing::WithParamInterface<BlockFaultCase> {};

TEST_P(BlockFault, ShapesTheConversation) {
  SimulatorOptions o = Options();
  GetParam().set(o);
  Start(std::move(o));
  client_->Send(ChannelStart(10000));
  const auto frames = PlayChannelClient(PatternImage(10000));
  const SimResult r = Finish();
  EXPECT_EQ(frames, GetParam().frames);
  EXPECT_EQ(r.ok, GetParam().ok) << r.message;
  EXPECT_THAT(r.message, HasSubstr(GetParam().message));
  if (r.ok) {
    EXPECT_EQ(r.region, PatternImage(10000));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BlockFault,
    ::testing::Values(
        BlockFaultCase{"RepeatBlock0Twice", [](auto& o) { o.repeatBlocks[0] = 2; },
                       {kResUpgradeChannel, kDevNextBlockRepeat, kDevNextBlockRepeat, kDevNextBlock,
                        kDevCrcRequest},
                       true, "complete"},
        BlockFaultCase{"RepeatLastBlock", [](auto& o) { o.repeatBlocks[1] = 1; },
                       {kResUpgradeChannel, kDevNextBlock, kDevNextBlockRepeat, kDevCrcRequest}, true,
                       "complete"},
        BlockFaultCase{"RestartAfterBlock1", [](auto& o) { o.restartAfterBlock = 1; },
                       {kResUpgradeChannel, kDevNextBlock, kResUpgradeChannel, kDevNextBlock,
                        kDevCrcRequest},
                       true, "complete"},
        BlockFaultCase{"SilentThenResume",
                       [](auto& o) {
                         o.silentAfterBlock = 0;
                         o.silenceMs = 100;
                         o.resumeAfterSilence = true;
                       },
                       {kResUpgradeChannel, kDevNextBlock, kDevCrcRequest}, true, "complete"},
        BlockFaultCase{"SilentEnds",
                       [](auto& o) {
                         o.silentAfterBlock = 0;
                         o.silenceMs = 100;
                       },
                       {kResUpgradeChannel}, false, "silent after block 0 for 0.1 s as asked"},
        BlockFaultCase{"HangUpAfterBlock0", [](auto& o) { o.hangUpAfterBlock = 0; }, {kResUpgradeChannel},
                       false, "hung up after block 0 as asked"},
        BlockFaultCase{"RepeatPastTheEndIsNotApplied", [](auto& o) { o.repeatBlocks[2] = 1; },
                       {kResUpgradeChannel, kDevNextBlock, kDevCrcRequest}, false,
                       "repeat of block 2 never applied"},
        BlockFaultCase{"FrameFaultPastTheEndIsNotApplied", [](auto& o) { o.splitFrame = 4; },
                       {kResUpgradeChannel, kDevNextBlock, kDevCrcRequest}, false,
                       "split at frame 4 never applied"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimulatorOnPty, HangUpFaultClosesTheLine) {
  SimulatorOptions o = Options();
  o.hangUpAfterBlock = 0;
  Start(std::move(o));
  client_->Send(ChannelStart(100));
  ASSERT_EQ(client_->Receive(12), kResUpgradeChannel);
  client_->SendBlock(ChannelBlock(PatternImage(100), 0));
  Finish();
  EXPECT_EQ(client_->Receive(1, 1000), Bytes{});
  EXPECT_TRUE(client_->hungUp());
}

// Frame faults on the start answer of an empty image (so the next frame is
// the DevCrcRequest): exactly the bytes that reach the client.
struct FrameFaultCase {
  const char* name;
  std::function<void(SimulatorOptions&)> set;
  Bytes before;        // bytes the client gets in front of the start answer
  Bytes answers = {};  // what the client sends back before the CRC request
};

void PrintTo(const FrameFaultCase& c, std::ostream* os) { *os << c.name; }

class FrameFault : public SimulatorOnPty, public ::testing::WithParamInterface<FrameFaultCase> {};

TEST_P(FrameFault, PutsExactlyTheseBytesOnTheLine) {
  SimulatorOptions o = Options();
  GetParam().set(o);
  Start(std::move(o));
  client_->Send(ChannelStart(0));
  const Bytes expected = Cat({GetParam().before, kResUpgradeChannel});
  EXPECT_EQ(HexBytes(client_->Receive(expected.size()), 1000), HexBytes(expected, 1000));
  if (!GetParam().answers.empty()) client_->Send(GetParam().answers);
  EXPECT_EQ(client_->Receive(12), kDevCrcRequest);
  client_->Send(ImageCrc(0));
  const SimResult r = Finish();
  EXPECT_TRUE(r.ok) << r.message;
}

const Bytes kUnknown{0xFD, 0x5A, 0x10, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC5, 0x8D};

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameFault,
    ::testing::Values(
        FrameFaultCase{"Garbage", [](auto& o) { o.garbageBeforeFrame = 1; },
                       {0x00, 0x55, 0xAA, 0xC9, 0x8D, 0xC5, 0xFF}},
        FrameFaultCase{"UnknownCode", [](auto& o) { o.unknownCodeBeforeFrame = 1; }, kUnknown},
        FrameFaultCase{"PurgeErrors", [](auto& o) { o.purgeErrorsBeforeFrame = 1; },
                       Cat({kUnknown, kUnknown, kUnknown, kUnknown, kUnknown, kUnknown, kUnknown, kUnknown,
                            kUnknown, kUnknown, kUnknown})},
        FrameFaultCase{"BadEndMark", [](auto& o) { o.badEndMarkBeforeFrame = 1; },
                       Cat({{0xFD, 0x5A, 0x10, 0x43, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5},
                            kUnknown, kUnknown, kUnknown, kUnknown, kUnknown, kUnknown, kUnknown, kUnknown,
                            kUnknown, kUnknown})},
        FrameFaultCase{"TwoInOne", [](auto& o) { o.twoInOneFrame = 1; }, kDevUpgradeQuery, kUpgrade},
        FrameFaultCase{"Split", [](auto& o) { o.splitFrame = 1; }, {}},
        FrameFaultCase{"SlowLine", [](auto& o) { o.slowLineGapMs = 2; }, {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace t42rm::sim
