// Image staging and block streaming: which block answers which device frame,
// repeats, restaging, the firmware checks and the images that are refused.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/byte_order.h"
#include "protocol/streaming_state.h"
#include "tests/unit/client_harness.h"

namespace t42rm::unit {
namespace {

// Images whose every block starts with its own offset in the staging buffer:
// a channel image as it is, and a firmware image whose payload is the pattern
// (the header is stripped, so payload offset = staging offset).
const Bytes kPlainImage = PositionPattern(4 * 8192);
const Bytes kFirmwareImage = MakeQlb(PositionPattern(0x20000 + 4 * 8192));

struct Ask {
  uint16_t code;
  uint16_t status = 0;
};

struct SequenceCase {
  std::string name;
  bool firmwareImage;
  std::vector<Ask> asks;
  std::vector<uint32_t> sent;  // offset of the block each ask is answered with
  UpgradeMode jobMode = kModeChannel;
};

void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.name; }

std::vector<SequenceCase> SequenceCases() {
  return {
      {"RepeatAfterBlocks0And8192", false,
       {{0x1043}, {0x1021}, {0x1021, 192}, {0x1021}}, {0, 8192, 8192, 16384}},
      {"RepeatOfTheFirstBlock", false, {{0x1043}, {0x1021, 192}, {0x1021}}, {0, 0, 8192}},
      // A repeat below the first byte repeats block 0.
      {"StartAnswerAskingARepeat", false, {{0x1043, 192}, {0x1021}}, {0, 8192}},
      {"FirmwareStartAnswerAskingARepeat", true, {{0x1007, 192}, {0x1021}}, {0x1E000, 0x20000},
       kModeFirmware},
      {"SecondStartAnswerMidStream", false,
       {{0x1043}, {0x1021}, {0x1021}, {0x1043}, {0x1021}}, {0, 8192, 16384, 0, 8192}},
      {"FirmwareSecondStartAnswerMidStream", true,
       {{0x1007}, {0x1021}, {0x1007}, {0x1021}}, {0x20000, 0x22000, 0x20000, 0x22000},
       kModeFirmware},
      {"StartAnswerOfAnotherModeMidStream", false,
       {{0x1043}, {0x1021}, {0x1041}, {0x1021}}, {0, 8192, 0, 8192}},
      {"BootAnswerAfterFirmwareStream", true, {{0x1007}, {0x1021}, {0x1005}}, {0x20000, 0x22000, 0},
       kModeFirmware},
      // The answer's code alone chooses the preparation, not the job's mode.
      {"FirmwareAnswerWhileTheJobIsModule", true, {{0x1007}, {0x1021}}, {0x20000, 0x22000},
       kModeModule},
  };
}

class BlockSequence : public ClientFixture, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(BlockSequence, AnswersEachAskWithTheRightBlock) {
  const SequenceCase& c = GetParam();
  ASSERT_EQ(c.asks.size(), c.sent.size());
  WriteImage(c.firmwareImage ? kFirmwareImage : kPlainImage);
  owner.m_job.nMode = c.jobMode;
  for (size_t i = 0; i < c.asks.size(); ++i) {
    SCOPED_TRACE("ask " + std::to_string(i));
    const Exchange ex = Deliver(c.asks[i].code, c.asks[i].status);
    EXPECT_EQ(ex.result, 0);
    const auto block = AsBlock(ex);
    ASSERT_TRUE(block.has_value());
    ASSERT_FALSE(block->blank);
    EXPECT_EQ(block->header, CrcFrame(0x1020, ReferenceCrc32(block->data)));
    EXPECT_EQ(get_le32(block->data.data()), c.sent[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(Streaming, BlockSequence, ::testing::ValuesIn(SequenceCases()),
                         [](const auto& info) { return info.param.name; });

class Staging : public ClientFixture {};

TEST_F(Staging, SecondStartAnswerReadsTheFileAgain) {
  const auto path = WriteImage(kPlainImage);
  EXPECT_EQ(AsBlock(Deliver(0x1043))->data, BlockAt(kPlainImage, 0));

  Bytes changed = kPlainImage;
  for (uint8_t& b : changed) b ^= 0x5A;
  WriteImage(changed);
  // Still the first staging until the device answers the start again.
  EXPECT_EQ(AsBlock(Deliver(0x1021))->data, BlockAt(kPlainImage, 8192));
  EXPECT_EQ(AsBlock(Deliver(0x1043))->data, BlockAt(changed, 0));
  EXPECT_EQ(AsBlock(Deliver(0x1021))->data, BlockAt(changed, 8192));
}

TEST_F(Staging, BlockWithTheCheckValueAsCrc) {
  const Bytes prefix = PositionPattern(8188);
  const Bytes image = Concat({prefix, ForceCrc(prefix, 0xCBF43926u)});
  ASSERT_EQ(ReferenceCrc32(image), 0xCBF43926u);
  WriteImage(image);
  const Exchange ex = Deliver(0x1043);
  const auto block = AsBlock(ex);
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->header,
            (Bytes{0xFD, 0xC9, 0x20, 0x10, 0x00, 0x00, 0xF4, 0xCB, 0x26, 0x39, 0x8D, 0xC5}));
  EXPECT_EQ(sinks.At(kLogSend),
            (std::vector<LogLine>{
                {kLogSend, "ex_Send[crc=cbf43926]: 0xc9fd, 0xc58d, 0x1020, 0x0, 0xcbf4 = 0x3926"}}));
  EXPECT_NE(std::find(sinks.traces.begin(), sinks.traces.end(), "00000000, 0 \n"), sinks.traces.end());
}

TEST_F(Staging, SmallestFirmwareImageIsAcceptedAndStreamedAsItsFiller) {
  WriteImage(MakeQlb({}));  // 68 bytes: header and trailer only
  const Exchange ex = Deliver(0x1005);
  const auto block = AsBlock(ex);
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->data, BlockAt(Filled(68, 0xFF), 0));
  EXPECT_EQ(Deliver(0x1023).writes, std::vector<Bytes>{CrcFrame(0x1023, ReferenceCrc32(Filled(68, 0xFF)))});
}

TEST(BlankBlock, OnlyEightKiBOfFFIsBlank) {
  const Bytes blank = Filled(8192, 0xFF);
  EXPECT_EQ(cSerialClient1::IsBlankBlock(blank.data()), 1);
  for (size_t at : {size_t{0}, size_t{4000}, size_t{8191}}) {
    Bytes block = blank;
    block[at] = 0xFE;
    EXPECT_EQ(cSerialClient1::IsBlankBlock(block.data()), 0) << "byte " << at;
  }
}

TEST_F(Staging, CrcRequestBeforeAnyStartAnswerCarriesZeroAndEnds) {
  const Exchange ex = Deliver(0x1023);
  EXPECT_EQ(ex.result, 0);
  EXPECT_EQ(ex.writes, (std::vector<Bytes>{
                           {0xFD, 0xC9, 0x23, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5}}));
  EXPECT_FALSE(client->m_bTransferActive);
  EXPECT_TRUE(Deliver(0x1001).writes.empty());
}

TEST_F(Staging, BlockRequestWithNothingStagedSendsNothing) {
  for (uint16_t status : {uint16_t{0}, uint16_t{192}}) {
    SCOPED_TRACE(status);
    ClearLog();
    const Exchange ex = Deliver(0x1021, status);
    EXPECT_EQ(ex.result, -1);
    EXPECT_TRUE(ex.writes.empty());
    EXPECT_EQ(sinks.At(kLogError).size(), 1u);
  }
}

// A firmware image whose stored CRC does not match: nothing answers the start,
// the observer gets both CRC values, and the CRC answer reports the computed one.
TEST_F(Staging, StoredCrcMismatchSendsNothing) {
  struct Case {
    const char* name;
    uint16_t answer;
    size_t flipAt;  // from the end of the file
  };
  const Case cases[] = {
      {"BootTrailerAltered", 0x1005, 1},
      {"FirmwarePayloadAltered", 0x1007, 1000},
      {"FirmwareHeaderAltered", 0x1007, 3000 + 68 - 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetStreamingState();
    client->m_bTransferActive = true;
    observer.rejections.clear();
    ClearLog();
    Bytes file = MakeQlb(PositionPattern(3000));
    file[file.size() - c.flipAt] ^= 0x01;
    WriteImage(file);
    const uint32_t stored = get_le32(&file[file.size() - 4]);
    const uint32_t computed = ReferenceCrc32(file, 0, file.size() - 4);
    ASSERT_NE(stored, computed);

    const Exchange ex = Deliver(c.answer);
    EXPECT_EQ(ex.result, 0);
    EXPECT_TRUE(ex.writes.empty());
    ASSERT_EQ(observer.rejections.size(), 1u);
    EXPECT_EQ(observer.rejections[0].reason, RejectReason::kStoredCrcMismatch);
    EXPECT_EQ(observer.rejections[0].stored, stored);
    EXPECT_EQ(observer.rejections[0].computed, computed);
    EXPECT_EQ(sinks.At(kLogError).size(), 1u);
    EXPECT_EQ(Deliver(0x1023).writes, std::vector<Bytes>{CrcFrame(0x1023, computed)});
  }
}

struct RejectCase {
  std::string name;
  uint16_t answer;
  Bytes file;  // empty: no file at all
  int32_t jobSize;
  RejectReason reason;
};

std::vector<RejectCase> RejectCases() {
  return {
      {"FirmwareImageOf67Bytes", 0x1007, PositionPattern(67), 67, RejectReason::kTooShort},
      {"BootImageOf67Bytes", 0x1005, PositionPattern(67), 67, RejectReason::kTooShort},
      {"NegativeSize", 0x1043, PositionPattern(100), -1, RejectReason::kSizeOutOfRange},
      {"SizeAbove64MiB", 0x1041, PositionPattern(100), kMaxImageSize + 1, RejectReason::kSizeOutOfRange},
      {"FileShorterThanItsSize", 0x1043, PositionPattern(100), 200, RejectReason::kShortRead},
      {"FirmwareFileShorterThanItsSize", 0x1005, MakeQlb(PositionPattern(1000)), 2000,
       RejectReason::kShortRead},
      {"MissingFile", 0x1043, {}, 100, RejectReason::kUnreadable},
  };
}

void PrintTo(const RejectCase& c, std::ostream* os) { *os << c.name; }

class RefusedImage : public ClientFixture, public ::testing::WithParamInterface<RejectCase> {};

TEST_P(RefusedImage, NothingIsSentNowOrOnTheNextBlockRequest) {
  const RejectCase& c = GetParam();
  // A transfer under way first: a refused image must not leave it streaming.
  WriteImage(kPlainImage, "previous.qlu");
  ASSERT_TRUE(AsBlock(Deliver(0x1043)).has_value());

  if (c.file.empty()) {
    owner.m_job.szFullPath = (folder / "missing.qlu").string();
    owner.m_job.szFileName = "missing.qlu";
  } else {
    WriteImage(c.file);
  }
  owner.m_job.nFileSize = c.jobSize;
  ClearLog();
  const Exchange ex = Deliver(c.answer);
  EXPECT_EQ(ex.result, -1);
  EXPECT_TRUE(ex.writes.empty());
  EXPECT_EQ(sinks.At(kLogError).size(), 1u);
  ASSERT_EQ(observer.rejections.size(), 1u);
  EXPECT_EQ(observer.rejections[0].reason, c.reason);
  EXPECT_EQ(client->m_pImageFile, nullptr);

  const Exchange next = Deliver(0x1021);
  EXPECT_EQ(next.result, -1);
  EXPECT_TRUE(next.writes.empty());
}

INSTANTIATE_TEST_SUITE_P(Staging, RefusedImage, ::testing::ValuesIn(RejectCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace t42rm::unit
