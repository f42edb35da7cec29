// InspectImage against the client's own staging and streaming: for each image
// the client is driven through a whole transfer on the in-memory device (start
// answer, a DevNextBlock per block, DevCrcRequest) and every block it streams,
// and every refusal, must be what the offline check predicted.
#include "protocol/image_check.h"

#include <gtest/gtest.h>

#include <optional>

#include "common/fake_clock.h"
#include "protocol/cSerialClient1.h"
#include "protocol/streaming_state.h"
#include "sim/device_protocol.h"
#include "tests/cli/cli_test_support.h"
#include "tests/support/fake_serial_device.h"

namespace t42rm::clitest {
namespace {

struct Streamed {
  std::optional<StagedImage> staged;
  std::vector<StreamedBlock> blocks;
  std::optional<uint32_t> imageCrc;
  std::optional<RejectReason> rejected;
  uint32_t stored = 0, computed = 0;
};

class Recorder final : public TransferObserver {
 public:
  explicit Recorder(Streamed& s) : s_(s) {}
  void OnImageStaged(const StagedImage& image) override { s_.staged = image; }
  void OnBlockSent(uint32_t offset, uint32_t, bool blank, bool, uint32_t crc) override {
    s_.blocks.push_back({offset, blank, crc});
  }
  void OnImageCrcSent(uint32_t crc) override { s_.imageCrc = crc; }
  void OnImageRejected(RejectReason reason, uint32_t stored, uint32_t computed,
                       const std::string&) override {
    s_.rejected = reason;
    s_.stored = stored;
    s_.computed = computed;
  }

 private:
  Streamed& s_;
};

struct Owner final : ClientOwner {};

// One whole transfer of the file at path in mode, as the device leads it.
Streamed StreamWithClient(const std::string& path, UpgradeMode mode, int32_t size) {
  ResetStreamingState();
  FakeClock clock;
  Owner owner;
  owner.m_job = {mode, path, "image", size};
  Streamed s;
  Recorder recorder(s);
  cSerialClient1 client(std::make_unique<testing::FakeSerialDevice>(), &clock);
  client.m_pOwner = &owner;
  client.SetObserver(&recorder);
  client.InitPort(nullptr, 4096, 4096);
  EXPECT_EQ(client.OpenPort(PortSettings{}, "fake"), 1);
  EXPECT_EQ(client.StartTransfer(), StartOutcome::kStarted);
  auto deliver = [&](uint16_t code) {
    const sim::DeviceFrame f = sim::EncodeDeviceFrame(code);
    client.OnReceive(f.data(), static_cast<uint32_t>(f.size()));
  };
  deliver(sim::StartCodeForMode(mode)->answer);
  if (s.staged) {
    while (s.blocks.size() < s.staged->blocksExpected) {
      const size_t before = s.blocks.size();
      deliver(kCodeDevNextBlock);
      if (s.blocks.size() == before) break;  // the client sent nothing: stop asking
    }
    deliver(kCodeDevCrcRequest);
  }
  return s;
}

Bytes BadTrailer(Bytes qlb) {
  qlb.back() ^= 0x01;
  return qlb;
}

struct Case {
  const char* name;
  UpgradeMode mode;
  Bytes file;
  ImageProblem problem;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class InspectImageMatchesClient : public ::testing::TestWithParam<Case> {};

TEST_P(InspectImageMatchesClient, SameBlocksCrcsAndRefusals) {
  const Case& c = GetParam();
  TempDir dir;
  const std::string path = dir / "image";
  WriteFile(path, c.file);

  const ImageReport report = InspectImage(path, c.mode);
  const Streamed client = StreamWithClient(path, c.mode, static_cast<int32_t>(c.file.size()));

  ASSERT_EQ(report.problem, c.problem) << report.detail;
  EXPECT_EQ(report.size, static_cast<int64_t>(c.file.size()));
  if (report.Accepted()) {
    ASSERT_TRUE(client.staged);
    EXPECT_FALSE(client.rejected);
    EXPECT_EQ(report.firstOffset, client.staged->firstOffset);
    EXPECT_EQ(report.bufferLength, client.staged->bufferLength);
    EXPECT_EQ(report.BlocksToSend(), client.staged->blocksExpected);
    EXPECT_EQ(report.imageCrc, client.staged->imageCrc);
    ASSERT_EQ(report.blocks.size(), client.blocks.size());
    for (size_t i = 0; i < report.blocks.size(); ++i) {
      SCOPED_TRACE("block " + std::to_string(i));
      EXPECT_EQ(report.blocks[i].offset, client.blocks[i].offset);
      EXPECT_EQ(report.blocks[i].blank, client.blocks[i].blank);
      EXPECT_EQ(report.blocks[i].crc, client.blocks[i].crc);
    }
    ASSERT_TRUE(client.imageCrc);
    EXPECT_EQ(report.imageCrc, *client.imageCrc);
    EXPECT_GT(report.DataBlocks(), 0u);
    return;
  }
  // Refused offline: the client, given the same file, streams nothing.
  EXPECT_TRUE(report.blocks.empty());
  EXPECT_TRUE(client.blocks.empty());
  switch (c.problem) {
    case ImageProblem::kStoredCrcMismatch:
      ASSERT_EQ(client.rejected, RejectReason::kStoredCrcMismatch);
      EXPECT_EQ(report.storedCrc, client.stored);
      EXPECT_EQ(report.computedCrc, client.computed);
      EXPECT_NE(report.storedCrc, report.computedCrc);
      break;
    case ImageProblem::kTooShort:
      EXPECT_EQ(client.rejected, RejectReason::kTooShort);
      break;
    default:
      break;
  }
}

const size_t kFirmwareEnd = kFirmwareFirstOffset + kFirmwareCrcLength;

INSTANTIATE_TEST_SUITE_P(
    Images, InspectImageMatchesClient,
    ::testing::Values(
        // The payload ends inside a block: 0xFF where the trailer was, then zeros.
        Case{"BootPartialLastBlock", kModeBootAndFirmware,
             QlbFromStaged(BlankWithData(3 * kBlockSize + 100 + kQlbOverhead, {0, 2, 3})),
             ImageProblem::kNone},
        Case{"FirmwareWhole", kModeFirmware,
             QlbFromStaged(BlankWithData(kFirmwareEnd, {3, 16, 17, kFirmwareEnd / kBlockSize - 1})),
             ImageProblem::kNone},
        // Shorter than the CRC region: the rest of the 192 blocks are zeros.
        Case{"FirmwareShort", kModeFirmware,
             QlbFromStaged(BlankWithData(kFirmwareFirstOffset + 5000, {16})), ImageProblem::kNone},
        Case{"ModuleShorterThanCrcRegion", kModeModule, BlankWithData(10000, {0, 1}),
             ImageProblem::kNone},
        Case{"ModuleLongerThanCrcRegion", kModeModule, BlankWithData(0x50000, {0, 39}),
             ImageProblem::kNone},
        Case{"ChannelRoundedUp", kModeChannel, BlankWithData(10000, {0, 1}), ImageProblem::kNone},
        Case{"ChannelWholeBlocksFirstBlank", kModeChannel, BlankWithData(2 * kBlockSize, {1}),
             ImageProblem::kNone},
        // A firmware image taken in channel mode is streamed as it is.
        Case{"QlbInChannelMode", kModeChannel, QlbFromStaged(BlankWithData(2 * kBlockSize, {0})),
             ImageProblem::kNone},
        Case{"BootStoredCrcMismatch", kModeBootAndFirmware,
             BadTrailer(QlbFromStaged(BlankWithData(2 * kBlockSize, {0}))),
             ImageProblem::kStoredCrcMismatch},
        Case{"FirmwareStoredCrcMismatch", kModeFirmware,
             BadTrailer(QlbFromStaged(BlankWithData(kFirmwareEnd, {16}))),
             ImageProblem::kStoredCrcMismatch},
        Case{"FirmwareTooShort", kModeFirmware, Bytes(kQlbOverhead - 1, 0x11),
             ImageProblem::kTooShort},
        Case{"ChannelEmpty", kModeChannel, Bytes{}, ImageProblem::kNothingToSend}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InspectImage, RefusesWhatCannotBeRead) {
  TempDir dir;
  EXPECT_EQ(InspectImage(dir / "missing.qlu", kModeChannel).problem, ImageProblem::kUnreadable);
  EXPECT_EQ(InspectImage(dir.path().string(), kModeChannel).problem, ImageProblem::kUnreadable);
  WriteFile(dir / "x.qlu", Bytes(100, 1));
  EXPECT_EQ(InspectImage(dir / "x.qlu", 7).problem, ImageProblem::kBadMode);
}

}  // namespace
}  // namespace t42rm::clitest
