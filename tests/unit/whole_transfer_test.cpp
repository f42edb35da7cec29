// Whole transfers in virtual time, one per mode: the transfer start sends the
// start frame, the device answers with its code plus one, asks for every block
// and then for the image CRC. Each block is checked against what the staging
// buffer should hold, worked out here from the file alone, and so is its pacing.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/byte_order.h"
#include "tests/unit/client_harness.h"

namespace t42rm::unit {
namespace {

const Bytes kNonData = {0xFD, 0xC9, 0x20, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5};

Bytes WithBlank(Bytes b, size_t from, size_t len) {
  std::fill_n(b.begin() + static_cast<long>(from), len, 0xFF);
  return b;
}

struct TransferCase {
  std::string name;
  UpgradeMode mode;
  Bytes file;
  Bytes prepared;      // the image as the device must receive it, before zero padding
  uint16_t startCode;  // of the start frame; the device answers startCode + 1
  uint32_t firstOffset;
  int blocks;          // blocks the device asks for
  uint32_t crcOffset;  // region of the ImageCrc answer, zero beyond the image
  uint32_t crcLength;
};

void PrintTo(const TransferCase& c, std::ostream* os) { *os << c.name; }

TransferCase Firmware(std::string name, UpgradeMode mode, const Bytes& payload, uint16_t startCode,
                      uint32_t first, int blocks, uint32_t crcOffset, uint32_t crcLength) {
  const Bytes file = MakeQlb(payload);
  return {std::move(name), mode, file, Concat({payload, Filled(68, 0xFF)}), startCode, first,
          blocks, crcOffset, crcLength == 0 ? static_cast<uint32_t>(file.size()) : crcLength};
}

TransferCase Plain(std::string name, UpgradeMode mode, const Bytes& file, uint16_t startCode,
                   int blocks, uint32_t crcLength) {
  return {std::move(name), mode, file, file, startCode, 0, blocks, 0,
          crcLength == 0 ? static_cast<uint32_t>(file.size()) : crcLength};
}

std::vector<TransferCase> TransferCases() {
  // Boot loader and firmware: 4 blocks from offset 0; the last holds the end of
  // the payload, the 68 bytes of 0xFF that replace header and trailer, zeros.
  const Bytes boot = WithBlank(WithBlank(PositionPattern(3 * 8192 + 500), 0, 8192), 16384, 8192);
  // Firmware: streamed from 0x20000 of the prepared image for 0x180000 bytes
  // (192 blocks); the payload ends in the fourth of them.
  const Bytes firmware = WithBlank(PositionPattern(0x20000 + 3 * 8192 + 200), 0x20000 + 8192, 8192);
  // Module: streamed as it is, its last 4 bytes too; its CRC covers 0x40000.
  Bytes module = WithBlank(PositionPattern(2 * 8192 + 1000), 8192, 8192);
  std::copy_n(Bytes{0xDE, 0xAD, 0xBE, 0xEF}.begin(), 4, module.end() - 4);
  return {
      Firmware("BootLoaderAndFirmware", kModeBootAndFirmware, boot, 0x1004, 0, 4, 0, 0),
      Firmware("Firmware", kModeFirmware, firmware, 0x1006, 0x20000, 192, 0x20000, 0x180000),
      Plain("Module", kModeModule, module, 0x1040, 32, 0x40000),
      // 10000 bytes: 2 blocks, the second is file bytes 8192..9999 then zeros.
      Plain("ChannelData10000", kModeChannel, WithBlank(PositionPattern(10000), 0, 8192), 0x1042, 2, 0),
      // A whole number of blocks gets no block of zeros.
      Plain("ChannelData16384", kModeChannel, WithBlank(PositionPattern(16384), 8192, 8192), 0x1042, 2, 0),
  };
}

class WholeTransfer : public ClientFixture, public ::testing::WithParamInterface<TransferCase> {};

TEST_P(WholeTransfer, StreamsEveryBlockThenReportsTheImageCrc) {
  const TransferCase& c = GetParam();
  WriteImage(c.file);
  owner.m_job.nMode = c.mode;
  client->m_bTransferActive = false;

  const Exchange start = Run([&] { return static_cast<int>(client->StartTransfer()); });
  ASSERT_EQ(start.result, static_cast<int>(StartOutcome::kStarted));
  ASSERT_EQ(start.writes.size(), 1u);
  ASSERT_EQ(start.writes[0].size(), 24u);
  const uint16_t code = get_le16(&start.writes[0][2]);
  EXPECT_EQ(code, c.startCode);
  EXPECT_EQ(get_le32(&start.writes[0][16]), c.file.size());
  EXPECT_TRUE(client->m_bTransferActive);

  int blank = 0;
  int data = 0;
  for (int k = 0; k < c.blocks; ++k) {
    SCOPED_TRACE("block " + std::to_string(k));
    ClearLog();
    const Exchange ex = k == 0 ? Deliver(static_cast<uint16_t>(code + 1)) : Deliver(0x1021);
    EXPECT_EQ(ex.result, 0);
    const auto block = AsBlock(ex);
    ASSERT_TRUE(block.has_value()) << ex.writes.size() << " writes";
    const Bytes expected = BlockAt(c.prepared, c.firstOffset + static_cast<size_t>(k) * kBlockSize);
    const std::vector<LogLine> sent = sinks.At(kLogSend);
    ASSERT_EQ(sent.size(), 1u);
    if (std::all_of(expected.begin(), expected.end(), [](uint8_t b) { return b == 0xFF; })) {
      ++blank;
      EXPECT_TRUE(block->blank);
      EXPECT_EQ(block->header, kNonData);
      EXPECT_EQ(ex.timeline, kSingleWriteTimeline);
      EXPECT_EQ(ex.elapsedMs, 10);
      EXPECT_EQ(sent[0].text, "ex_Send[NON_DATA]: 0xc9fd, 0xc58d, 0x1020, 0x1, 0x0 = 0x0");
    } else {
      ++data;
      const uint32_t crc = ReferenceCrc32(expected);
      ASSERT_FALSE(block->blank);
      EXPECT_EQ(block->header, CrcFrame(0x1020, crc));
      ASSERT_EQ(block->data, expected);
      EXPECT_EQ(ex.timeline, kDataBlockTimeline);
      EXPECT_EQ(ex.elapsedMs, 1090);
      char label[32];
      std::snprintf(label, sizeof label, "ex_Send[crc=%08x]: ", crc);
      EXPECT_EQ(sent[0].text.rfind(label, 0), 0u) << sent[0].text;
    }
  }
  // The image was built to give both kinds of block.
  EXPECT_GT(blank, 0);
  EXPECT_GT(data, 0);

  // The staging buffer ends where the device stopped asking.
  ClearLog();
  const Exchange past = Deliver(0x1021);
  EXPECT_EQ(past.result, -1);
  EXPECT_TRUE(past.writes.empty());
  EXPECT_EQ(sinks.At(kLogError).size(), 1u);

  const Exchange crc = Deliver(0x1023);
  EXPECT_EQ(crc.result, 0);
  EXPECT_EQ(crc.writes,
            std::vector<Bytes>{CrcFrame(0x1023, ReferenceCrc32(c.prepared, c.crcOffset, c.crcLength))});
  EXPECT_EQ(crc.timeline, kSingleWriteTimeline);
  EXPECT_FALSE(client->m_bTransferActive);

  // Ended: input is ignored until the next transfer start.
  EXPECT_TRUE(Deliver(0x1001).writes.empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, WholeTransfer, ::testing::ValuesIn(TransferCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace t42rm::unit
