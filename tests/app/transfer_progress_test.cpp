// The progress bar and status line, fed event by event; silence measured on a
// fake clock.
#include "app/transfer_progress.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/fake_clock.h"
#include "tests/app/fake_dialog_view.h"

namespace t42rm::app {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using testing::FakeDialogView;

class TransferProgressTest : public ::testing::Test {
 protected:
  StagedImage Staged(uint32_t blocks) {
    StagedImage s;
    s.mode = kModeChannel;
    s.size = blocks * kBlockSize;
    s.bufferLength = s.size;
    s.blocksExpected = blocks;
    return s;
  }
  void ExpectBar(int value, int maximum) {
    EXPECT_EQ(view.progressValue, value);
    EXPECT_EQ(view.progressMaximum, maximum);
    EXPECT_EQ(progress.Value(), value);
    EXPECT_EQ(progress.Maximum(), maximum);
  }

  FakeDialogView view;
  FakeClock clock;
  TransferProgress progress{view, clock};
};

TEST_F(TransferProgressTest, BarCountsDistinctBlocksAndReachesTheEndOnlyWithTheCrc) {
  progress.OnStartFrameSent(kModeChannel, 3 * kBlockSize);
  ExpectBar(0, 1);
  EXPECT_EQ(view.Status(), "Channel data: start sent, 24576 bytes");

  progress.OnImageStaged(Staged(3));
  ExpectBar(0, 4);  // three blocks and the CRC
  EXPECT_EQ(view.Status(), "Channel data: 24576 bytes, 3 blocks");

  progress.OnBlockSent(0, 0, false, false, 0x1234);
  ExpectBar(1, 4);
  EXPECT_EQ(view.Status(), "Block 1 of 3 sent");

  // A repeat of block 1 does not count twice.
  progress.OnBlockSent(0, 0, false, true, 0x1234);
  ExpectBar(1, 4);
  EXPECT_EQ(view.Status(), "Block 1 of 3 sent again (the device asked for it)");

  progress.OnBlockSent(kBlockSize, 1, false, false, 0x5678);
  progress.OnBlockSent(2 * kBlockSize, 2, true, false, 0);
  ExpectBar(3, 4);
  EXPECT_EQ(view.Status(), "Block 3 of 3 blank, announced only");

  progress.OnImageCrcSent(0xCBF43926);
  ExpectBar(4, 4);
  EXPECT_EQ(view.Status(), "Finished: 3 blocks, CRC-32 cbf43926");
}

TEST_F(TransferProgressTest, FailuresSayWhatWentWrong) {
  struct Case {
    std::function<void(TransferProgress&)> event;
    std::string status;
  };
  const Case cases[] = {
      {[](TransferProgress& p) {
         p.OnImageRejected(RejectReason::kStoredCrcMismatch, 0x11111111, 0x22222222, "ignored");
       },
       "Image rejected: stored CRC-32 does not match the image (stored 11111111, computed "
       "22222222)"},
      {[](TransferProgress& p) {
         p.OnImageRejected(RejectReason::kUnreadable, 0, 0, "/img/a.qlu");
       },
       "Image rejected: image file cannot be opened (/img/a.qlu)"},
      {[](TransferProgress& p) {
         p.OnImageRejected(RejectReason::kSizeOutOfRange, 0, 0, "size -1");
       },
       "Image rejected: image size out of range (size -1)"},
      {[](TransferProgress& p) { p.OnPortNotOpen(); }, "Port not open: nothing was sent"},
      {[](TransferProgress& p) { p.OnDeviceLost("read: Input/output error"); },
       "Device lost: read: Input/output error"},
  };
  for (const Case& c : cases) {
    progress.OnStartFrameSent(kModeFirmware, 100);
    progress.OnImageStaged(Staged(2));
    progress.OnBlockSent(0, 0, false, false, 1);
    c.event(progress);
    EXPECT_EQ(view.Status(), c.status);
    // None of them is followed by a silence notice: the status says why.
    clock.Advance(std::chrono::minutes(1));
    progress.Tick(true);
    EXPECT_EQ(view.Status(), c.status);
  }
}

TEST_F(TransferProgressTest, DeviceLostAfterTheEndKeepsTheOutcome) {
  progress.OnStartFrameSent(kModeChannel, kBlockSize);
  progress.OnImageStaged(Staged(1));
  progress.OnBlockSent(0, 0, false, false, 1);
  progress.OnImageCrcSent(0xABCDEF01);
  progress.OnDeviceLost("device hung up");
  EXPECT_EQ(view.Status(),
            "Finished: 1 block, CRC-32 abcdef01 (device disconnected)");
  ExpectBar(2, 2);

  // After a new Connect, a loss is a loss again.
  progress.ShowMessage("Connected to /dev/ttyUSB0");
  progress.OnDeviceLost("device hung up");
  EXPECT_EQ(view.Status(), "Device lost: device hung up");
}

TEST_F(TransferProgressTest, SilenceNoticeOnceAfterThirtySecondsWithoutAFrame) {
  progress.OnStartFrameSent(kModeChannel, 100);
  const std::string started = view.Status();

  clock.Advance(std::chrono::milliseconds(29999));
  progress.Tick(true);
  EXPECT_EQ(view.Status(), started);

  clock.Advance(std::chrono::milliseconds(1));
  progress.Tick(true);
  EXPECT_EQ(view.Status(), "No frame from the device for 30 s; still waiting");
  const size_t lines = view.statusLines.size();
  clock.Advance(std::chrono::seconds(30));
  progress.Tick(true);
  EXPECT_EQ(view.statusLines.size(), lines);  // said once

  // A late frame re-arms it, measured from that frame.
  progress.OnFrameReceived(FrameHeader{});
  progress.OnImageStaged(Staged(2));
  clock.Advance(std::chrono::seconds(29));
  progress.Tick(true);
  EXPECT_THAT(view.Status(), HasSubstr(", 2 blocks"));
  clock.Advance(std::chrono::seconds(1));
  progress.Tick(true);
  EXPECT_THAT(view.Status(), StartsWith("No frame from the device"));
}

TEST_F(TransferProgressTest, NoSilenceNoticeWithoutAnActiveTransfer) {
  clock.Advance(std::chrono::minutes(5));
  progress.Tick(true);  // nothing was started by us
  EXPECT_TRUE(view.statusLines.empty());

  progress.OnStartFrameSent(kModeChannel, 100);
  clock.Advance(std::chrono::minutes(1));
  progress.Tick(false);  // the client's flag is clear
  EXPECT_THAT(view.Status(), HasSubstr("start sent"));

  progress.OnImageCrcSent(1);
  clock.Advance(std::chrono::minutes(1));
  progress.Tick(true);
  EXPECT_THAT(view.Status(), StartsWith("Finished"));
}

}  // namespace
}  // namespace t42rm::app
