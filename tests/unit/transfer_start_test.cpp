// The transfer start: it proves the image can be opened, marks the transfer
// active before the start frame leaves, and sends the mode's start frame.
#include <gtest/gtest.h>

#include "tests/unit/client_harness.h"

namespace t42rm::unit {
namespace {

class TransferStart : public ClientFixture {
 protected:
  void SetUp() override {
    ClientFixture::SetUp();
    WriteImage(PositionPattern(10000));
    client->m_bTransferActive = false;
  }
};

TEST_F(TransferStart, SendsTheStartFrameOfEachMode) {
  struct Case {
    UpgradeMode mode;
    Bytes wire;
    std::string trace;
  };
  const Case cases[] = {
      {kModeFirmware,
       {0xFD, 0xC9, 0x06, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00, 0x0D, 0xC9, 0x00, 0x00},
       "Send[ReqUpgradeF:-1]: 0xc9fd, 0xc58d, 0x1006, 0x1, 0xc = 0xc5fe, 0xc90d, 10000"},
      {kModeBootAndFirmware,
       {0xFD, 0xC9, 0x04, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00, 0x0D, 0xC9, 0x00, 0x00},
       "Send[ReqUpgradeB:-1]: 0xc9fd, 0xc58d, 0x1004, 0x1, 0xc = 0xc5fe, 0xc90d, 10000"},
      {kModeModule,
       {0xFD, 0xC9, 0x40, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00, 0x0D, 0xC9, 0x00, 0x00},
       "Send[ReqUpgradeF:-1]: 0xc9fd, 0xc58d, 0x1040, 0x1, 0xc = 0xc5fe, 0xc90d, 10000"},
      {kModeChannel,
       {0xFD, 0xC9, 0x42, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00, 0x0D, 0xC9, 0x00, 0x00},
       "Send[ReqUpgradeF:-1]: 0xc9fd, 0xc58d, 0x1042, 0x1, 0xc = 0xc5fe, 0xc90d, 10000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ModeName(c.mode));
    client->m_bTransferActive = false;
    ClearLog();
    owner.m_job.nMode = c.mode;
    const Exchange ex = Run([&] { return static_cast<int>(client->StartTransfer()); });
    EXPECT_EQ(ex.result, static_cast<int>(StartOutcome::kStarted));
    EXPECT_TRUE(client->m_bTransferActive);
    EXPECT_EQ(ex.writes, std::vector<Bytes>{c.wire});
    EXPECT_EQ(ex.timeline, kSingleWriteTimeline);
    EXPECT_EQ(sinks.lines, (std::vector<LogLine>{{kLogSend, c.trace}}));
    EXPECT_EQ(client->m_pImageFile, nullptr);
  }
}

struct RefusedStart {
  std::string name;
  std::function<void(TransferStart&)> arrange;
  StartOutcome outcome;
  bool active;  // m_bTransferActive afterwards
  std::vector<LogLine> lines;
};

void PrintTo(const RefusedStart& c, std::ostream* os) { *os << c.name; }

class TransferNotStarted : public TransferStart,
                           public ::testing::WithParamInterface<RefusedStart> {
};

std::vector<RefusedStart> RefusedStarts() {
  return {
      {"UnreadableImage",
       [](TransferStart& t) { t.owner.m_job.szFullPath = (t.folder / "missing.qlb").string(); },
       StartOutcome::kUnreadable, false, {}},
      // The flag is set before the frame fails to leave, and stays set.
      {"PortClosed", [](TransferStart& t) { t.client->ClosePort(); }, StartOutcome::kNotSent, true,
       {{kLogLink, "Port not open."}}},
      {"ModeOutsideRange", [](TransferStart& t) { t.owner.m_job.nMode = 5; }, StartOutcome::kBadMode,
       true, {}},
      {"NoOwner", [](TransferStart& t) { t.client->m_pOwner = nullptr; }, StartOutcome::kNoOwner,
       false, {}},
  };
}

TEST_P(TransferNotStarted, SendsNothing) {
  const RefusedStart& c = GetParam();
  c.arrange(*this);
  const Exchange ex = Run([&] { return static_cast<int>(client->StartTransfer()); });
  EXPECT_EQ(ex.result, static_cast<int>(c.outcome));
  EXPECT_EQ(client->m_bTransferActive, c.active);
  EXPECT_TRUE(ex.writes.empty());
  EXPECT_EQ(sinks.lines, c.lines);
}

INSTANTIATE_TEST_SUITE_P(TransferStart, TransferNotStarted, ::testing::ValuesIn(RefusedStarts()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace t42rm::unit
