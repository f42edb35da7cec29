// Golden wire tests: every frame the client builds, byte for byte, in one write
// followed by one 10 ms pause, with its trace line exactly as formatted.
#include <gtest/gtest.h>

#include "protocol/streaming_state.h"
#include "tests/unit/client_harness.h"

namespace t42rm::unit {
namespace {

// Chunk data and its CRC, shared by the expected bytes and the trace line.
const Bytes kChunk100 = PositionPattern(100);
const Bytes kChunk4 = {0x11, 0x22, 0x33, 0x44};
const Bytes kIndex5 = {0x01, 0x02, 0x03, 0x04, 0x05};

std::string SignedCrc(const Bytes& data) {
  return std::to_string(static_cast<int32_t>(ReferenceCrc32(data)));
}

struct GoldenCase {
  const char* name;
  std::function<int(cSerialClient1&, TestOwner&)> send;
  Bytes wire;
  std::string trace;  // the one level-5 line
};

const std::vector<GoldenCase>& GoldenCases() {
  static const std::vector<GoldenCase> cases = {
      {"UpgradeAnswer",
       [](cSerialClient1& c, TestOwner&) {
         const Bytes q = DeviceFrame(0x1001, 0x1234, 0x5678, 0x9ABC);
         return c.OnReceive(q.data(), 12);
       },
       {0xFD, 0xC9, 0x04, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5},
       "ex_Send[UPGRADE]: 0xc9fd, 0xc58d, 0x1004, 0x0, 0x0 = 0x0"},
      {"BUpgradeStart0x180000",
       [](cSerialClient1& c, TestOwner& o) {
         o.m_job.nFileSize = 0x180000;
         const Bytes q = DeviceFrame(0x1011, 0x0001, 0x0002, 0x0003);
         return c.OnReceive(q.data(), 12);
       },
       {0xFD, 0xC9, 0x06, 0x10, 0x00, 0x00, 0x00, 0x00, 0x18, 0x00, 0x8D, 0xC5},
       "ex_Send[B_UPGRADE_START]: 0xc9fd, 0xc58d, 0x1006, 0x0, 0x0 = 0x18"},
      {"BUpgradeStartBothHalves",
       [](cSerialClient1& c, TestOwner& o) {
         o.m_job.nFileSize = 0x01234567;
         const Bytes q = DeviceFrame(0x1011);
         return c.OnReceive(q.data(), 12);
       },
       {0xFD, 0xC9, 0x06, 0x10, 0x00, 0x00, 0x67, 0x45, 0x23, 0x01, 0x8D, 0xC5},
       "ex_Send[B_UPGRADE_START]: 0xc9fd, 0xc58d, 0x1006, 0x0, 0x4567 = 0x123"},
      {"BlockHeaderCheckValue",
       [](cSerialClient1& c, TestOwner&) {
         return c.ex_Send(kLogSend, "crc=cbf43926", 0x1020, 0, 0xCBF4, 0x3926);
       },
       {0xFD, 0xC9, 0x20, 0x10, 0x00, 0x00, 0xF4, 0xCB, 0x26, 0x39, 0x8D, 0xC5},
       "ex_Send[crc=cbf43926]: 0xc9fd, 0xc58d, 0x1020, 0x0, 0xcbf4 = 0x3926"},
      {"BlockHeaderNonData",
       [](cSerialClient1& c, TestOwner&) { return c.ex_Send(kLogSend, "NON_DATA", 0x1020, 1, 0, 0); },
       {0xFD, 0xC9, 0x20, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5},
       "ex_Send[NON_DATA]: 0xc9fd, 0xc58d, 0x1020, 0x1, 0x0 = 0x0"},
      {"ImageCrcCheckValue",
       [](cSerialClient1& c, TestOwner&) {
         g_dwImageCrc = 0xCBF43926u;
         return c.DevCrcRequest();
       },
       {0xFD, 0xC9, 0x23, 0x10, 0x00, 0x00, 0xF4, 0xCB, 0x26, 0x39, 0x8D, 0xC5},
       "ex_Send[CRC]: 0xc9fd, 0xc58d, 0x1023, 0x0, 0xcbf4 = 0x3926"},
      {"ReqUpgradeFStart0x180000",
       [](cSerialClient1& c, TestOwner&) { return c.ReqUpgradeF(nullptr, 0x180000, -1); },
       {0xFD, 0xC9, 0x06, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0x00, 0x00, 0x18, 0x00, 0x0D, 0xC9, 0x00, 0x00},
       "Send[ReqUpgradeF:-1]: 0xc9fd, 0xc58d, 0x1006, 0x1, 0xc = 0xc5fe, 0xc90d, 1572864"},
      {"ReqUpgradeBStart",
       [](cSerialClient1& c, TestOwner&) { return c.ReqUpgradeB(nullptr, 0x00012345, -1); },
       {0xFD, 0xC9, 0x04, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0x45, 0x23, 0x01, 0x00, 0x0D, 0xC9, 0x00, 0x00},
       "Send[ReqUpgradeB:-1]: 0xc9fd, 0xc58d, 0x1004, 0x1, 0xc = 0xc5fe, 0xc90d, 74565"},
      {"ReqUpgradeModuleStart",
       [](cSerialClient1& c, TestOwner&) { return c.ReqUpgradeModule(nullptr, 0x40000, -1); },
       {0xFD, 0xC9, 0x40, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x0D, 0xC9, 0x00, 0x00},
       "Send[ReqUpgradeF:-1]: 0xc9fd, 0xc58d, 0x1040, 0x1, 0xc = 0xc5fe, 0xc90d, 262144"},
      {"ReqUpgradeChannelStart",
       [](cSerialClient1& c, TestOwner&) { return c.ReqUpgradeChannel(nullptr, 10000, -1); },
       {0xFD, 0xC9, 0x42, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00, 0x0D, 0xC9, 0x00, 0x00},
       "Send[ReqUpgradeF:-1]: 0xc9fd, 0xc58d, 0x1042, 0x1, 0xc = 0xc5fe, 0xc90d, 10000"},
      {"ReqReadDataStart",
       [](cSerialClient1& c, TestOwner&) { return c.ReqReadData(nullptr, 0, -1); },
       {0xFD, 0xC9, 0x08, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0D, 0xC9, 0x00, 0x00},
       "Send[ReqReadData:-1]: 0xc9fd, 0xc58d, 0x1008, 0x1, 0xc = 0xc5fe, 0xc90d, 0"},
      {"ReqWriteDataStart",
       [](cSerialClient1& c, TestOwner&) { return c.ReqWriteData(nullptr, 1024, -1); },
       {0xFD, 0xC9, 0x10, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x0D, 0xC9, 0x00, 0x00},
       "Send[ReqWriteData:-1]: 0xc9fd, 0xc58d, 0x1010, 0x1, 0xc = 0xc5fe, 0xc90d, 1024"},
      {"Chunk100BytesIndex3",
       [](cSerialClient1& c, TestOwner&) { return c.ReqUpgradeF(kChunk100.data(), 100, 3); },
       Concat({{0xFD, 0xC9, 0x06, 0x10, 0x00, 0x00, 0x10, 0x04, 0x00, 0x00, 0x8D, 0xC5},
               {0xFE, 0xC5, 0x03, 0x00, 0x64, 0x00, 0x00, 0x00},
               Le32(ReferenceCrc32(kChunk100)),
               kChunk100,
               Filled(924, 0x00),  // body bytes 112 to 1035
               {0x00, 0x00, 0x0D, 0xC9}}),
       "Send[ReqUpgradeF:3]: 0xc9fd, 0xc58d, 0x1006, 0x0, 0x410 = 0xc5fe, 0xc90d, 3, 100, " +
           SignedCrc(kChunk100)},
      {"ChunkIndexAbove16Bits",
       [](cSerialClient1& c, TestOwner&) { return c.ReqUpgradeB(kChunk4.data(), 4, 0x12345); },
       Concat({{0xFD, 0xC9, 0x04, 0x10, 0x00, 0x00, 0x10, 0x04, 0x00, 0x00, 0x8D, 0xC5},
               {0xFE, 0xC5, 0x45, 0x23, 0x04, 0x00, 0x00, 0x00},
               Le32(ReferenceCrc32(kChunk4)),
               kChunk4,
               Filled(1020, 0x00),
               {0x00, 0x00, 0x0D, 0xC9}}),
       "Send[ReqUpgradeB:74565]: 0xc9fd, 0xc58d, 0x1004, 0x0, 0x410 = 0xc5fe, 0xc90d, 9029, 4, " +
           SignedCrc(kChunk4)},
      {"ReqIndexData",
       [](cSerialClient1& c, TestOwner&) { return c.ReqIndexData(kIndex5.data(), 5, 7); },
       Concat({{0xFD, 0xC9, 0x12, 0x10, 0x00, 0x00, 0x14, 0x04, 0x00, 0x00, 0x8D, 0xC5},
               {0xFE, 0xC5, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00},
               Le32(ReferenceCrc32(kIndex5)),
               kIndex5,
               Filled(1019, 0x00),
               {0x00, 0x00, 0x0D, 0xC9}}),
       "Send[ReqIndexData]: 0xc9fd, 0xc58d, 0x1012, 0x0, 0x414 = 0xc5fe, 0xc90d, 7, 5, " +
           SignedCrc(kIndex5)},
      {"ReqRebooting",
       [](cSerialClient1& c, TestOwner&) { return c.ReqRebooting(); },
       {0xFD, 0xC9, 0x02, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5, 0x00, 0x00},
       "Send[ReqRebooting]: 0xc9fd, 0xc58d, 0x1002, 0x0, 0x0 = 0x0"},
      {"ReqPauseData",
       [](cSerialClient1& c, TestOwner&) { return c.ReqPauseData(); },
       {0xFD, 0xC9, 0x14, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5, 0x00, 0x00},
       "Send[ReqPauseData]: 0xc9fd, 0xc58d, 0x1014, 0x0, 0x0 = 0x0"},
      {"ReqInitData",
       [](cSerialClient1& c, TestOwner&) { return c.ReqInitData(); },
       {0xFD, 0xC9, 0x16, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5, 0x00, 0x00},
       "Send[ReqInitData]: 0xc9fd, 0xc58d, 0x1016, 0x0, 0x0 = 0x0"},
      {"ShortFrameTrailerLittleEndian",
       [](cSerialClient1& c, TestOwner&) { return c.Send(kLogSend, "ResUpgradeF", 0x1006, 2, 0, 0x1234); },
       {0xFD, 0xC9, 0x06, 0x10, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5, 0x34, 0x12},
       "Send[ResUpgradeF]: 0xc9fd, 0xc58d, 0x1006, 0x2, 0x0 = 0x1234"},
  };
  return cases;
}

void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

class SendingOps : public ClientFixture {};

class GoldenWire : public ClientFixture, public ::testing::WithParamInterface<GoldenCase> {};

TEST_P(GoldenWire, OneWriteOnePauseExactBytesAndTrace) {
  const GoldenCase& c = GetParam();
  const Exchange ex = Run([&] { return c.send(*client, owner); });
  EXPECT_EQ(ex.result, 0);
  ASSERT_EQ(ex.writes.size(), 1u);
  EXPECT_EQ(ex.writes[0], c.wire);
  EXPECT_EQ(ex.timeline, kSingleWriteTimeline);
  EXPECT_EQ(sinks.lines, (std::vector<LogLine>{{kLogSend, c.trace}}));
}

INSTANTIATE_TEST_SUITE_P(Frames, GoldenWire, ::testing::ValuesIn(GoldenCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// With the port closed nothing reaches the wire: -1, no trace line, only the
// link's "Port not open." at level 0, and no pause.
TEST_F(SendingOps, EverySendingOperationFailsWhenThePortIsClosed) {
  ASSERT_EQ(client->ClosePort(), 1);
  const Bytes data = PositionPattern(16);
  const std::pair<const char*, std::function<int()>> ops[] = {
      {"SendBytes", [&] { return client->SendBytes(data.data(), 12); }},
      {"SendBytes empty", [&] { return client->SendBytes(data.data(), 0); }},
      {"ex_Send", [&] { return client->ex_Send(kLogSend, "UPGRADE", 0x1004, 0, 0, 0); }},
      {"Send", [&] { return client->Send(kLogSend, "ResUpgradeB", 0x1004, 2, 0, 0); }},
      {"ReqUpgradeB start", [&] { return client->ReqUpgradeB(nullptr, 100, -1); }},
      {"ReqUpgradeF start", [&] { return client->ReqUpgradeF(nullptr, 100, -1); }},
      {"ReqReadData start", [&] { return client->ReqReadData(nullptr, 100, -1); }},
      {"ReqWriteData start", [&] { return client->ReqWriteData(nullptr, 100, -1); }},
      {"ReqUpgradeModule start", [&] { return client->ReqUpgradeModule(nullptr, 100, -1); }},
      {"ReqUpgradeChannel start", [&] { return client->ReqUpgradeChannel(nullptr, 100, -1); }},
      {"ReqUpgradeB chunk", [&] { return client->ReqUpgradeB(data.data(), 16, 0); }},
      {"ReqUpgradeF chunk", [&] { return client->ReqUpgradeF(data.data(), 16, 1); }},
      {"ReqReadData chunk", [&] { return client->ReqReadData(data.data(), 16, 2); }},
      {"ReqWriteData chunk", [&] { return client->ReqWriteData(data.data(), 16, 3); }},
      {"ReqUpgradeModule chunk", [&] { return client->ReqUpgradeModule(data.data(), 16, 4); }},
      {"ReqUpgradeChannel chunk", [&] { return client->ReqUpgradeChannel(data.data(), 16, 5); }},
      {"ReqIndexData", [&] { return client->ReqIndexData(data.data(), 16, 6); }},
      {"ReqRebooting", [&] { return client->ReqRebooting(); }},
      {"ReqPauseData", [&] { return client->ReqPauseData(); }},
      {"ReqInitData", [&] { return client->ReqInitData(); }},
  };
  for (const auto& [name, op] : ops) {
    SCOPED_TRACE(name);
    ClearLog();
    const Exchange ex = Run(op);
    EXPECT_EQ(ex.result, -1);
    EXPECT_TRUE(ex.writes.empty());
    EXPECT_EQ(ex.timeline, "");
    EXPECT_EQ(sinks.lines, (std::vector<LogLine>{{kLogLink, "Port not open."}}));
  }
}

TEST_F(SendingOps, SendBytesOfNothingWritesNothingAndDoesNotPause) {
  const Bytes data = {0xFD};
  for (int32_t count : {0, -5}) {
    const Exchange ex = Run([&] { return client->SendBytes(data.data(), count); });
    EXPECT_EQ(ex.result, 0) << count;
    EXPECT_TRUE(ex.writes.empty()) << count;
    EXPECT_EQ(ex.timeline, "") << count;
  }
}

TEST_F(SendingOps, LogDeviceErrorLogsOnlyListedCodes) {
  const std::pair<int, const char*> cases[] = {
      {0x121, "0x121: firmware upgrade error."},
      {0x50, "0x50: etc error."},
      {0x161, "0x161: init data error."},
      {0x10100, "0x100: connection error."},  // only the low 16 bits count
      {0x51, nullptr},
      {0, nullptr},
  };
  for (const auto& [status, text] : cases) {
    SCOPED_TRACE(status);
    ClearLog();
    EXPECT_EQ(client->LogDeviceError(kLogError, 0x1234, status), 0);
    const std::vector<LogLine> expected =
        text ? std::vector<LogLine>{{kLogError, text}} : std::vector<LogLine>{};
    EXPECT_EQ(sinks.lines, expected);
  }
}

}  // namespace
}  // namespace t42rm::unit
