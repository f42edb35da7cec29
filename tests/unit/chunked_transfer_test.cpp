// Chunked upload, connection/rebooting answers, trace-only answers and the
// auxiliary requests, against the fake device in virtual time. Expected frames
// are spelled out byte by byte here, independently of the client's encoder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "common/base_global.h"
#include "common/fake_clock.h"
#include "protocol/cSerialClient1.h"
#include "tests/support/fake_serial_device.h"

namespace t42rm {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using t42rm::testing::FakeSerialDevice;
using Bytes = std::vector<uint8_t>;
using Handler = int (cSerialClient1::*)(const FrameHeader&, const uint8_t*);

struct LogLine {
  int level;
  std::string text;
  bool operator==(const LogLine&) const = default;
};
void PrintTo(const LogLine& l, std::ostream* os) { *os << "{" << l.level << ", \"" << l.text << "\"}"; }

class RecordingLog final : public LogSink {
 public:
  void WriteLine(int level, std::string_view line) override {
    lines.push_back({level, std::string(line)});
  }
  std::vector<LogLine> lines;
};

struct Owner final : ClientOwner {};

// One client on a fake device, port open, owner and log installed.
struct Rig {
  std::shared_ptr<FakeSerialDevice::Shared> shared = std::make_shared<FakeSerialDevice::Shared>();
  FakeClock clock;
  RecordingLog log;
  Owner owner;
  cSerialClient1 client{std::make_unique<FakeSerialDevice>(shared), &clock};

  explicit Rig(UpgradeMode mode = kModeFirmware, const std::string& image = {}) {
    client.InitPort(nullptr, 4096, 4096);
    EXPECT_EQ(client.OpenPort(PortSettings{}, "fake"), 1);
    client.SetLogSink(&log);
    client.m_pOwner = &owner;
    owner.m_job.nMode = mode;
    owner.m_job.szFullPath = image;
  }
  void ClosePort() { ASSERT_EQ(client.ClosePort(), 1); }
  void ReopenPort() { ASSERT_EQ(client.OpenPort(PortSettings{}, "fake"), 1); }
  std::vector<Bytes> TakeWrites() { return shared->TakeWrites(); }
  std::vector<LogLine> TakeLog() { return std::exchange(log.lines, {}); }
  int Call(Handler h, const FrameHeader& header, const uint8_t* frame = nullptr) {
    return (client.*h)(header, frame);
  }
};

// A device answer in host order; code 0 unless given (the handlers ignore it).
FrameHeader Answer(uint16_t status, uint16_t length = 0, uint16_t code = 0) {
  FrameHeader h;
  h.wStart = 0xC9FD;
  h.wCode = code;
  h.wStatus = status;
  h.wLength = length;
  h.wEnd = 0xC58D;
  return h;
}

Bytes Pattern(size_t n) {
  std::minstd_rand rng(42);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// Image files in the test's temporary directory, removed at scope end.
class TempImage {
 public:
  explicit TempImage(const Bytes& content) {
    static int serial = 0;
    path_ = ::testing::TempDir() + "chunked_" + std::to_string(::getpid()) + "_" +
            std::to_string(serial++) + ".img";
    std::ofstream out(path_, std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
  }
  ~TempImage() { std::filesystem::remove(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void PutLe(Bytes& f, size_t at, uint32_t v, int width) {
  for (int i = 0; i < width; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// 1052-byte chunk frame: header with word 2 = 0, word 3 = 1040, then ChunkBody.
Bytes ChunkFrame(uint16_t code, uint16_t index, const uint8_t* data, size_t n) {
  Bytes f(1052, 0);
  const uint8_t head[12] = {0xFD, 0xC9, uint8_t(code), uint8_t(code >> 8), 0x00, 0x00,
                            0x10, 0x04, 0x00,          0x00,              0x8D, 0xC5};
  std::copy(head, head + 12, f.begin());
  f[12] = 0xFE;
  f[13] = 0xC5;
  PutLe(f, 14, index, 2);
  PutLe(f, 16, static_cast<uint32_t>(n), 2);
  PutLe(f, 20, Crc32(data, n), 4);
  if (n) std::memcpy(f.data() + 24, data, n);
  f[1050] = 0x0D;
  f[1051] = 0xC9;
  return f;
}
Bytes ChunkFrame(uint16_t code, uint16_t index, const Bytes& image, size_t offset, size_t n) {
  return ChunkFrame(code, index, image.data() + offset, n);
}

Bytes EndFrame(uint16_t code) {
  return {0xFD, 0xC9, uint8_t(code), uint8_t(code >> 8), 0x02, 0x00, 0x00,
          0x00, 0x00, 0x00,          0x8D,              0xC5, 0x00, 0x00};
}

std::string HeaderTrace(const char* name, const FrameHeader& h) {
  char line[520];
  std::snprintf(line, sizeof line, "Recv[%s-Header]: 0x%x, 0x%x, 0x%x, 0x%x, 0x%x", name, h.wStart,
                h.wEnd, h.wCode, h.wStatus, h.wLength);
  return line;
}

// The chunk state a handler may change, to show that a call left it alone.
struct ChunkState {
  std::array<uint8_t, cSerialClient1::kChunkBufSize> buf;
  uint32_t bytes;
  int32_t index;
  int32_t repeats;
  int32_t sentIndex;
  bool fileOpen;
  long filePos;
  bool operator==(const ChunkState&) const = default;
};
ChunkState Snapshot(const cSerialClient1& c) {
  return {c.m_ChunkBuf,        c.m_nChunkBytes,         c.m_nChunkIndex, c.m_nRepeatCount,
          c.m_nChunkSentIndex, c.m_pImageFile != nullptr,
          c.m_pImageFile ? std::ftell(c.m_pImageFile.get()) : -1L};
}

struct UploadHandler {
  const char* name;
  Handler handler;
  const char* traceName;    // in "Recv[...-Header]"
  UpgradeMode sendMode;     // the mode in which chunks go out
  uint16_t chunkCode;
  uint16_t endCode;
  const char* endLabel;
};

const UploadHandler kUploadHandlers[] = {
    {"ResUpgradeB", &cSerialClient1::ResUpgradeB, "ResUpgradeB", 2, 0x1004, 0x1004, "ResUpgradeB"},
    {"ResUpgradeF", &cSerialClient1::ResUpgradeF, "ResUpgradeF", 1, 0x1006, 0x1006, "ResUpgradeF"},
    {"ResUpgradeModule", &cSerialClient1::ResUpgradeModule, "ResUpgradeF", 2, 0x1006, 0x1006,
     "ResUpgradeF"},
    {"ResUpgradeChannel", &cSerialClient1::ResUpgradeChannel, "ResUpgradeF", 3, 0x1042, 0x1006,
     "ResUpgradeF"},
};

// ---------------------------------------------------------------------------
// The chunked upload, byte for byte.

TEST(ChunkedUpload, SendsTwoAndAHalfKiBImageAsThreeChunksThenEndFrame) {
  const Bytes image = Pattern(2500);
  TempImage file(image);
  Rig rig(kModeFirmware, file.path());

  struct Step {
    uint16_t status;
    int result;
    std::optional<Bytes> frame;  // the one write expected, or none
    std::vector<LogLine> sendTrace;
  };
  const auto chunkTrace = [&](int index, size_t offset, int n) {
    char line[520];
    std::snprintf(line, sizeof line,
                  "Send[ReqUpgradeF:%d]: 0xc9fd, 0xc58d, 0x1006, 0x0, 0x410 = 0xc5fe, 0xc90d, %d, "
                  "%d, %d",
                  index, index, n, static_cast<int32_t>(Crc32(image.data() + offset, n)));
    return std::vector<LogLine>{{5, line}};
  };
  const Step steps[] = {
      {1, 0, ChunkFrame(0x1006, 0, image, 0, 1024), chunkTrace(0, 0, 1024)},
      {0, 0, ChunkFrame(0x1006, 1, image, 1024, 1024), chunkTrace(1, 1024, 1024)},
      {0, 0, ChunkFrame(0x1006, 2, image, 2048, 452), chunkTrace(2, 2048, 452)},
      {0, 0, Bytes{0xFD, 0xC9, 0x06, 0x10, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5, 0x00,
                   0x00},
       {{5, "Send[ResUpgradeF]: 0xc9fd, 0xc58d, 0x1006, 0x2, 0x0 = 0x0"}}},
      {0, -1, std::nullopt, {}},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    const Step& s = steps[i];
    const FrameHeader h = Answer(s.status, 0, 0x1007);
    EXPECT_EQ(rig.Call(&cSerialClient1::ResUpgradeF, h), s.result);
    const auto writes = rig.TakeWrites();
    if (s.frame) {
      ASSERT_EQ(writes.size(), 1u);  // one write per frame
      EXPECT_EQ(writes[0], *s.frame);
    } else {
      EXPECT_THAT(writes, IsEmpty());
    }
    std::vector<LogLine> expected{{4, HeaderTrace("ResUpgradeF", h)}};
    expected.insert(expected.end(), s.sendTrace.begin(), s.sendTrace.end());
    EXPECT_EQ(rig.TakeLog(), expected);
  }
  EXPECT_EQ(rig.client.m_pImageFile, nullptr);
  EXPECT_THAT(rig.clock.Sleeps(), ElementsAre(10, 10, 10, 10));
}

TEST(ChunkedUpload, HeaderTraceShowsWordsZeroFiveOneTwoThree) {
  TempImage file(Pattern(10));
  Rig rig(kModeFirmware, file.path());
  FrameHeader h = Answer(0x0001, 0x1234, 0x1007);
  h.wParam = 0x5555;
  rig.Call(&cSerialClient1::ResUpgradeF, h);
  ASSERT_FALSE(rig.log.lines.empty());
  EXPECT_EQ(rig.log.lines[0],
            (LogLine{4, "Recv[ResUpgradeF-Header]: 0xc9fd, 0xc58d, 0x1007, 0x1, 0x1234"}));
}

TEST(ChunkedUpload, EmptyImageEndsAtStartOver) {
  TempImage file({});
  for (const auto& hc : kUploadHandlers) {
    SCOPED_TRACE(hc.name);
    Rig rig(hc.sendMode, file.path());
    EXPECT_EQ(rig.Call(hc.handler, Answer(1)), 0);
    EXPECT_THAT(rig.TakeWrites(), ElementsAre(EndFrame(hc.endCode)));
    EXPECT_EQ(rig.client.m_pImageFile, nullptr);
    EXPECT_EQ(rig.client.m_nChunkIndex, 0);
  }
}

// Handler x mode -> the code of the chunks sent (0: none). The end frame goes
// out in every mode; the file is consumed (index advanced) in every mode.
TEST(ChunkedUpload, ModeGatingOfEveryHandler) {
  struct Row {
    const UploadHandler& h;
    std::array<uint16_t, 4> chunkCodeInMode;  // modes 1..4
  };
  const Row rows[] = {
      {kUploadHandlers[0], {0, 0x1004, 0, 0}},
      {kUploadHandlers[1], {0x1006, 0, 0, 0}},
      {kUploadHandlers[2], {0, 0x1006, 0, 0}},  // module answers: ReqUpgradeF chunks in mode 2
      {kUploadHandlers[3], {0, 0, 0x1042, 0}},  // channel answers: 0x1042 chunks in mode 3
  };
  const Bytes image = Pattern(1500);
  TempImage file(image);
  for (const Row& row : rows) {
    for (UpgradeMode mode = 1; mode <= 4; ++mode) {
      SCOPED_TRACE(std::string(row.h.name) + " mode " + std::to_string(mode));
      Rig rig(mode, file.path());
      const uint16_t code = row.chunkCodeInMode[mode - 1];
      EXPECT_EQ(rig.Call(row.h.handler, Answer(1)), 0);  // chunk 0
      EXPECT_EQ(rig.Call(row.h.handler, Answer(3)), 0);  // repeat chunk 0
      EXPECT_EQ(rig.Call(row.h.handler, Answer(0)), 0);  // chunk 1
      EXPECT_EQ(rig.client.m_nChunkIndex, 2);
      EXPECT_EQ(rig.Call(row.h.handler, Answer(0)), 0);  // end of file
      std::vector<Bytes> expected;
      if (code) {
        expected = {ChunkFrame(code, 0, image, 0, 1024), ChunkFrame(code, 0, image, 0, 1024),
                    ChunkFrame(code, 1, image, 1024, 476)};
      }
      expected.push_back(EndFrame(row.h.endCode));
      EXPECT_EQ(rig.TakeWrites(), expected);
      const auto log = rig.TakeLog();
      ASSERT_FALSE(log.empty());
      EXPECT_EQ(log.back(), (LogLine{5, std::string("Send[") + row.h.endLabel + "]: 0xc9fd, 0xc58d, 0x" +
                                            (row.h.endCode == 0x1004 ? "1004" : "1006") +
                                            ", 0x2, 0x0 = 0x0"}));
    }
  }
}

// ---------------------------------------------------------------------------
// Start over and repeat.

TEST(ChunkedUpload, StartOverAndRepeatKeepIndicesOfFirstSending) {
  const Bytes image = Pattern(3000);
  TempImage file(image);
  for (const auto& hc : kUploadHandlers) {
    SCOPED_TRACE(hc.name);
    Rig rig(hc.sendMode, file.path());
    const uint16_t c = hc.chunkCode;
    struct Step {
      uint16_t status;
      Bytes frame;
    };
    const Step steps[] = {
        {1, ChunkFrame(c, 0, image, 0, 1024)},
        {0, ChunkFrame(c, 1, image, 1024, 1024)},
        {3, ChunkFrame(c, 1, image, 1024, 1024)},  // same index as its first sending
        {3, ChunkFrame(c, 1, image, 1024, 1024)},
        {0, ChunkFrame(c, 2, image, 2048, 952)},   // the next chunk goes on from there
        {1, ChunkFrame(c, 0, image, 0, 1024)},     // start over: reopened, from chunk 0
        {3, ChunkFrame(c, 0, image, 0, 1024)},
        {0, ChunkFrame(c, 1, image, 1024, 1024)},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      EXPECT_EQ(rig.Call(hc.handler, Answer(steps[i].status)), 0);
      EXPECT_THAT(rig.TakeWrites(), ElementsAre(steps[i].frame));
      EXPECT_EQ(rig.client.m_nRepeatCount, 0);
    }
  }
}

TEST(ChunkedUpload, StartOverResetsRepeatCountAndIndex) {
  const Bytes image = Pattern(3000);
  TempImage file(image);
  Rig rig(kModeBootAndFirmware, file.path());  // ResUpgradeF does not send in mode 2
  rig.Call(&cSerialClient1::ResUpgradeF, Answer(1));
  rig.Call(&cSerialClient1::ResUpgradeF, Answer(0));
  EXPECT_EQ(rig.Call(&cSerialClient1::ResUpgradeF, Answer(3)), 0);
  EXPECT_EQ(rig.Call(&cSerialClient1::ResUpgradeF, Answer(3)), 0);
  EXPECT_EQ(rig.client.m_nRepeatCount, 2);
  EXPECT_EQ(rig.client.m_nChunkIndex, 2);
  EXPECT_EQ(rig.Call(&cSerialClient1::ResUpgradeF, Answer(1)), 0);
  EXPECT_EQ(rig.client.m_nRepeatCount, 0);
  EXPECT_EQ(rig.client.m_nChunkIndex, 1);
  EXPECT_EQ(rig.client.m_nChunkBytes, 1024u);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 1024, rig.client.m_ChunkBuf.begin()));
  EXPECT_THAT(rig.TakeWrites(), IsEmpty());
}

// Nothing buffered: before the first read, or after the end of the file.
TEST(ChunkedUpload, RepeatWithNothingBufferedSendsNothing) {
  TempImage file(Pattern(100));
  for (const auto& hc : kUploadHandlers) {
    SCOPED_TRACE(hc.name);
    {
      Rig rig(hc.sendMode, file.path());
      EXPECT_EQ(rig.Call(hc.handler, Answer(3)), -1);
      EXPECT_THAT(rig.TakeWrites(), IsEmpty());
    }
    {
      Rig rig(hc.sendMode, file.path());
      EXPECT_EQ(rig.Call(hc.handler, Answer(1)), 0);
      EXPECT_EQ(rig.Call(hc.handler, Answer(0)), 0);  // end frame
      rig.TakeWrites();
      EXPECT_EQ(rig.Call(hc.handler, Answer(3)), -1);
      EXPECT_THAT(rig.TakeWrites(), IsEmpty());
    }
    {
      // In a mode that sends nothing, a repeat is answered 0 before anything else.
      Rig rig(hc.sendMode % 4 + 1, file.path());
      EXPECT_EQ(rig.Call(hc.handler, Answer(3)), 0);
      EXPECT_EQ(rig.client.m_nRepeatCount, 1);
    }
  }
}

// The repeat count rises only while repeats fail to go out; ResUpgradeB stops
// trying once it exceeds m_nRepeatLimit, the other handlers never do.
TEST(ChunkedUpload, RepeatLimitGatesOnlyResUpgradeB) {
  struct Step {
    bool portOpen;
    int result;
    bool attempted;  // a send was tried (written, or "Port not open." logged)
    int countAfter;
  };
  struct Row {
    const UploadHandler& h;
    int32_t limit;
    std::vector<Step> steps;
  };
  const Row rows[] = {
      {kUploadHandlers[0],
       3,
       {{false, -1, true, 1},
        {false, -1, true, 2},
        {false, -1, true, 3},
        {false, 0, false, 0},
        {true, 0, true, 0},
        {true, 0, true, 0}}},
      {kUploadHandlers[0], 1, {{false, -1, true, 1}, {false, 0, false, 0}, {true, 0, true, 0}}},
      {kUploadHandlers[0], 0, {{true, 0, false, 0}, {true, 0, false, 0}}},  // repeats off
      {kUploadHandlers[0], -1, {{true, 0, false, 0}}},
      {kUploadHandlers[1],
       0,
       {{false, -1, true, 1},
        {false, -1, true, 2},
        {false, -1, true, 3},
        {false, -1, true, 4},
        {false, -1, true, 5},
        {true, 0, true, 0}}},
      {kUploadHandlers[2], 0, {{false, -1, true, 1}, {true, 0, true, 0}}},
      {kUploadHandlers[3], 0, {{false, -1, true, 1}, {true, 0, true, 0}}},
  };
  const Bytes image = Pattern(1500);
  TempImage file(image);
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.h.name) + " limit " + std::to_string(row.limit));
    Rig rig(row.h.sendMode, file.path());
    rig.owner.m_nRepeatLimit = row.limit;
    ASSERT_EQ(rig.Call(row.h.handler, Answer(1)), 0);
    rig.TakeWrites();
    bool open = true;
    for (size_t i = 0; i < row.steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      const Step& s = row.steps[i];
      if (s.portOpen != open) {
        if (s.portOpen)
          rig.ReopenPort();
        else
          rig.ClosePort();
        open = s.portOpen;
      }
      rig.TakeLog();
      EXPECT_EQ(rig.Call(row.h.handler, Answer(3)), s.result);
      const auto writes = rig.TakeWrites();
      const auto log = rig.TakeLog();
      const bool notOpenLogged =
          std::find(log.begin(), log.end(), LogLine{0, "Port not open."}) != log.end();
      EXPECT_EQ(!writes.empty() || notOpenLogged, s.attempted);
      if (!writes.empty()) {
        EXPECT_THAT(writes, ElementsAre(ChunkFrame(row.h.chunkCode, 0, image, 0, 1024)));
      }
      EXPECT_EQ(rig.client.m_nRepeatCount, s.countAfter);
    }
  }
}

TEST(ChunkedUpload, DefaultRepeatLimitIsThree) {
  Owner owner;
  EXPECT_EQ(owner.m_nRepeatLimit, 3);
}

// ---------------------------------------------------------------------------
// Failures.

TEST(ChunkedUpload, WithoutOwnerOrOpenFileNothingChanges) {
  const Bytes image = Pattern(3000);
  TempImage file(image);
  for (const auto& hc : kUploadHandlers) {
    SCOPED_TRACE(hc.name);
    {
      Rig rig(hc.sendMode, file.path());
      ASSERT_EQ(rig.Call(hc.handler, Answer(1)), 0);
      rig.TakeWrites();
      rig.client.m_pOwner = nullptr;
      const ChunkState before = Snapshot(rig.client);
      for (uint16_t status : {0, 1, 3}) {
        SCOPED_TRACE("no owner, status " + std::to_string(status));
        EXPECT_EQ(rig.Call(hc.handler, Answer(status)), -1);
        EXPECT_EQ(Snapshot(rig.client), before);
      }
      EXPECT_THAT(rig.TakeWrites(), IsEmpty());
    }
    {
      Rig rig(hc.sendMode, file.path());
      const ChunkState before = Snapshot(rig.client);
      EXPECT_EQ(rig.Call(hc.handler, Answer(0)), -1);  // no upload begun
      EXPECT_EQ(Snapshot(rig.client), before);
      EXPECT_THAT(rig.TakeWrites(), IsEmpty());
    }
  }
}

TEST(ChunkedUpload, MissingFileResetsStateAndLeavesNoFileOpen) {
  const Bytes image = Pattern(3000);
  TempImage file(image);
  for (const auto& hc : kUploadHandlers) {
    SCOPED_TRACE(hc.name);
    Rig rig(hc.sendMode, file.path());
    ASSERT_EQ(rig.Call(hc.handler, Answer(1)), 0);
    ASSERT_EQ(rig.Call(hc.handler, Answer(0)), 0);
    rig.TakeWrites();
    rig.owner.m_job.szFullPath = file.path() + ".missing";
    EXPECT_EQ(rig.Call(hc.handler, Answer(1)), -1);
    EXPECT_EQ(rig.client.m_pImageFile, nullptr);
    EXPECT_EQ(rig.client.m_nChunkIndex, 0);
    EXPECT_EQ(rig.client.m_nChunkBytes, 0u);
    EXPECT_EQ(rig.client.m_nRepeatCount, 0);
    EXPECT_TRUE(std::all_of(rig.client.m_ChunkBuf.begin(), rig.client.m_ChunkBuf.end(),
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(rig.Call(hc.handler, Answer(0)), -1);
    EXPECT_EQ(rig.Call(hc.handler, Answer(3)), -1);
    EXPECT_THAT(rig.TakeWrites(), IsEmpty());
  }
}

// The image is opened by its full path, or by the bare name when there is none.
TEST(ChunkedUpload, OpensFullPathElseFileName) {
  TempImage file(Pattern(10));
  struct Row {
    std::string fullPath, fileName;
    int result;
  } rows[] = {
      {file.path(), "", 0},
      {"", file.path(), 0},
      {file.path(), file.path() + ".missing", 0},
      {file.path() + ".missing", file.path(), -1},
      {"", "", -1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE("full '" + r.fullPath + "' name '" + r.fileName + "'");
    Rig rig(kModeFirmware);
    rig.owner.m_job.szFullPath = r.fullPath;
    rig.owner.m_job.szFileName = r.fileName;
    EXPECT_EQ(rig.client.ResUpgradeF(Answer(1), nullptr), r.result);
    EXPECT_EQ(rig.TakeWrites().size(), r.result == 0 ? 1u : 0u);
  }
}

TEST(ChunkedUpload, PortClosedKeepsIndexAndChunk) {
  const Bytes image = Pattern(3000);
  TempImage file(image);
  for (const auto& hc : kUploadHandlers) {
    SCOPED_TRACE(hc.name);
    Rig rig(hc.sendMode, file.path());
    ASSERT_EQ(rig.Call(hc.handler, Answer(1)), 0);
    rig.TakeWrites();
    rig.ClosePort();
    rig.TakeLog();
    EXPECT_EQ(rig.Call(hc.handler, Answer(0)), -1);
    EXPECT_EQ(rig.client.m_nChunkIndex, 1);  // not advanced
    EXPECT_EQ(rig.client.m_nChunkBytes, 1024u);
    EXPECT_TRUE(std::equal(image.begin() + 1024, image.begin() + 2048,
                           rig.client.m_ChunkBuf.begin()));
    // The only lines: the header trace and the port's complaint; no send trace.
    EXPECT_THAT(rig.TakeLog(), ElementsAre(LogLine{4, HeaderTrace(hc.traceName, Answer(0))},
                                           LogLine{0, "Port not open."}));
    // The failed chunk can be repeated under its own index once the port is back.
    rig.ReopenPort();
    EXPECT_EQ(rig.Call(hc.handler, Answer(3)), 0);
    EXPECT_THAT(rig.TakeWrites(), ElementsAre(ChunkFrame(hc.chunkCode, 1, image, 1024, 1024)));
    // A new read then goes out under the index of the chunk that failed.
    EXPECT_EQ(rig.Call(hc.handler, Answer(0)), 0);
    EXPECT_THAT(rig.TakeWrites(), ElementsAre(ChunkFrame(hc.chunkCode, 1, image, 2048, 952)));
    // The end frame's failure is not looked at: the upload still ends.
    rig.ClosePort();
    EXPECT_EQ(rig.Call(hc.handler, Answer(0)), 0);
    EXPECT_EQ(rig.client.m_pImageFile, nullptr);
    EXPECT_EQ(rig.Call(hc.handler, Answer(0)), -1);
  }
}

TEST(ChunkedUpload, OtherStatusesChangeNothing) {
  const Bytes image = Pattern(3000);
  TempImage file(image);
  for (const auto& hc : kUploadHandlers) {
    SCOPED_TRACE(hc.name);
    Rig rig(hc.sendMode, file.path());
    ASSERT_EQ(rig.Call(hc.handler, Answer(1)), 0);
    rig.TakeWrites();
    const ChunkState before = Snapshot(rig.client);
    for (uint16_t status : {2, 4, 0xC0, 0x100, 0xFFFF}) {
      SCOPED_TRACE("status " + std::to_string(status));
      rig.TakeLog();
      EXPECT_EQ(rig.Call(hc.handler, Answer(status)), 0);
      EXPECT_EQ(Snapshot(rig.client), before);
      EXPECT_THAT(rig.TakeLog(), ElementsAre(LogLine{4, HeaderTrace(hc.traceName, Answer(status))}));
    }
    EXPECT_THAT(rig.TakeWrites(), IsEmpty());
  }
}

// ---------------------------------------------------------------------------
// Mark checks: every acting handler rejects a header whose marks are not
// 0xC9FD / 0xC58D (word 0 = 0 is what the dispatcher's decoding leaves).

TEST(ResMarkCheck, BadMarksRejectedByEveryActingHandler) {
  struct Acting {
    const char* traceName;
    Handler handler;
  };
  const Acting handlers[] = {
      {"ResConnection", &cSerialClient1::ResConnection},
      {"ResRebooting", &cSerialClient1::ResRebooting},
      {"ResUpgradeB", &cSerialClient1::ResUpgradeB},
      {"ResUpgradeF", &cSerialClient1::ResUpgradeF},
      {"ResUpgradeF", &cSerialClient1::ResUpgradeModule},
      {"ResUpgradeF", &cSerialClient1::ResUpgradeChannel},
  };
  struct Marks {
    uint16_t start, end;
  };
  const Marks badMarks[] = {{0, 0xC58D}, {0xC9FD, 0}, {0, 0}, {0xC58D, 0xC9FD}, {0xC9FE, 0xC58D}};
  // A good connection body, so only the header marks can cause a rejection.
  Bytes frame(12 + 52, 0);
  frame[12] = 0xFE;
  frame[13] = 0xC5;
  frame[62] = 0x0D;
  frame[63] = 0xC9;
  const Bytes image = Pattern(3000);
  TempImage file(image);
  for (const Acting& a : handlers) {
    for (UpgradeMode mode = 1; mode <= 4; ++mode) {
      Rig rig(mode, file.path());
      rig.client.m_bLinkReady = true;
      rig.client.ResUpgradeF(Answer(1), nullptr);  // an upload under way in every handler's state
      rig.TakeWrites();
      const ChunkState before = Snapshot(rig.client);
      for (const Marks& m : badMarks) {
        for (uint16_t status : {0, 1, 3, 0x120}) {
          SCOPED_TRACE(std::string(a.traceName) + " mode " + std::to_string(mode) + " marks " +
                       std::to_string(m.start) + "/" + std::to_string(m.end) + " status " +
                       std::to_string(status));
          FrameHeader h = Answer(status, 52, 0x1003);
          h.wStart = m.start;
          h.wEnd = m.end;
          rig.TakeLog();
          EXPECT_EQ(rig.Call(a.handler, h, frame.data()), -1);
          EXPECT_THAT(rig.TakeLog(),
                      ElementsAre(LogLine{4, HeaderTrace(a.traceName, h)},
                                  LogLine{1, std::string("Recv[") + a.traceName + "-Header]: error"}));
          EXPECT_EQ(Snapshot(rig.client), before);
        }
      }
      EXPECT_THAT(rig.TakeWrites(), IsEmpty());
    }
  }
}

// ---------------------------------------------------------------------------
// Trace-only answers.

TEST(ResTraceOnly, ReturnZeroWithOnlyTheirTraceLine) {
  struct TraceOnly {
    const char* name;
    Handler handler;
  };
  const TraceOnly handlers[] = {
      {"ResReadData", &cSerialClient1::ResReadData},
      {"ResWriteData", &cSerialClient1::ResWriteData},
      {"ResIndexData", &cSerialClient1::ResIndexData},
      {"ResPauseData", &cSerialClient1::ResPauseData},
      {"ResInitData", &cSerialClient1::ResInitData},
  };
  FrameHeader zero{};
  FrameHeader odd = Answer(0x1234, 0xFFFF, 0xABCD);
  odd.wStart = 0x0102;
  odd.wEnd = 0x0304;
  odd.wParam = 0x7777;
  const FrameHeader headers[] = {Answer(0), Answer(1), Answer(3), Answer(0x130, 5, 0x1009), zero,
                                 odd};
  TempImage file(Pattern(3000));
  for (const TraceOnly& t : handlers) {
    Rig rig(kModeFirmware, file.path());
    rig.client.ResUpgradeF(Answer(1), nullptr);
    rig.TakeWrites();
    rig.TakeLog();
    const ChunkState before = Snapshot(rig.client);
    for (const FrameHeader& h : headers) {
      SCOPED_TRACE(std::string(t.name) + " status " + std::to_string(h.wStatus));
      EXPECT_EQ(rig.Call(t.handler, h), 0);
      EXPECT_THAT(rig.TakeLog(), ElementsAre(LogLine{4, HeaderTrace(t.name, h)}));
    }
    EXPECT_THAT(rig.TakeWrites(), IsEmpty());
    EXPECT_EQ(Snapshot(rig.client), before);
  }
  Rig rig;
  rig.client.ResPauseData(odd, nullptr);
  EXPECT_THAT(rig.TakeLog(),
              ElementsAre(LogLine{4, "Recv[ResPauseData-Header]: 0x102, 0x304, 0xabcd, 0x1234, "
                                     "0xffff"}));
}

// ---------------------------------------------------------------------------
// ResConnection and ResRebooting.

Bytes ConnectionBody(const std::string& t1, const std::string& t2, const std::string& t3,
                     uint16_t startMark = 0xC5FE, uint16_t endMark = 0xC90D) {
  Bytes b(52, 0);
  PutLe(b, 0, startMark, 2);
  const std::string* texts[] = {&t1, &t2, &t3};
  for (int i = 0; i < 3; ++i)
    std::memcpy(b.data() + 2 + 16 * i, texts[i]->data(), std::min<size_t>(16, texts[i]->size()));
  PutLe(b, 50, endMark, 2);
  return b;
}

TEST(ResConnection, StatusAndBodyCases) {
  const std::string kError = "Recv[ResConnection-Body  ]: error";
  const std::string A16(16, 'A'), B16(16, 'B'), C16(16, 'C');
  struct Row {
    std::string name;
    uint16_t status;
    uint16_t length;
    Bytes body;  // placed at offset 12 of the frame; the frame is padded with 0x5A
    bool linkReady;
    int result;
    std::vector<LogLine> after;  // lines after the header trace
  };
  const Bytes good = ConnectionBody("T42RM", "1.1.0", "RM-42");
  const std::string goodLine = "Recv[ResConnection-Body  ]: 0xc5fe, 0xc90d, T42RM, 1.1.0, RM-42";
  std::vector<Row> rows = {
      {"good body, link ready", 0, 52, good, true, 0, {{4, goodLine}}},
      {"good body, link not ready", 0, 52, good, false, -1, {{4, goodLine}}},
      {"bad start mark", 0, 52, ConnectionBody("T42RM", "1.1.0", "RM-42", 0xC5FF), true, -1,
       {{4, "Recv[ResConnection-Body  ]: 0xc5ff, 0xc90d, T42RM, 1.1.0, RM-42"}, {1, kError}}},
      {"bad end mark", 0, 52, ConnectionBody("T42RM", "1.1.0", "RM-42", 0xC5FE, 0x0DC9), true, -1,
       {{4, "Recv[ResConnection-Body  ]: 0xc5fe, 0xdc9, T42RM, 1.1.0, RM-42"}, {1, kError}}},
      // Only word 3 bytes are copied: the end mark in the frame is not taken.
      {"short length", 0, 20, good, true, -1,
       {{4, "Recv[ResConnection-Body  ]: 0xc5fe, 0x0, T42RM, 1., "}, {1, kError}}},
      {"no body", 0, 0, good, true, -1, {{4, "Recv[ResConnection-Body  ]: 0x0, 0x0, , , "},
                                         {1, kError}}},
      {"length 53", 0, 53, good, true, -1, {{1, kError}}},
      {"length 0xffff", 0, 0xFFFF, good, true, -1, {{1, kError}}},
      // 16-byte texts with no NUL are printed whole and never read past.
      {"texts without NUL", 0, 52, ConnectionBody(A16, B16, C16), true, 0,
       {{4, "Recv[ResConnection-Body  ]: 0xc5fe, 0xc90d, " + A16 + ", " + B16 + ", " + C16}}},
      {"unlisted code", 0x51, 52, good, true, 0, {}},
      {"unlisted code 0xffff", 0xFFFF, 52, good, false, 0, {}},
  };
  const std::pair<uint16_t, const char*> deviceErrors[] = {
      {0x50, "0x50: etc error."},
      {0x100, "0x100: connection error."},
      {0x110, "0x110: rebooting error."},
      {0x120, "0x120: boot loader upgrade error."},
      {0x121, "0x121: firmware upgrade error."},
      {0x130, "0x130: read data error."},
      {0x140, "0x140: write data error."},
      {0x150, "0x150: index data error."},
      {0x160, "0x160: pause data error."},
      {0x161, "0x161: init data error."},
  };
  for (const auto& [code, text] : deviceErrors)
    rows.push_back({"device error " + std::string(text), code, 52, good, false, 0, {{1, text}}});

  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Rig rig;
    rig.client.m_bLinkReady = r.linkReady;
    // The frame holds exactly the bytes word 3 promises (at least the body).
    Bytes frame(12 + std::max<size_t>(r.length, r.body.size()), 0x5A);
    std::copy(r.body.begin(), r.body.end(), frame.begin() + 12);
    const FrameHeader h = Answer(r.status, r.length, 0x1003);
    EXPECT_EQ(rig.client.ResConnection(h, frame.data()), r.result);
    std::vector<LogLine> expected{{4, HeaderTrace("ResConnection", h)}};
    expected.insert(expected.end(), r.after.begin(), r.after.end());
    EXPECT_EQ(rig.TakeLog(), expected);
    EXPECT_THAT(rig.TakeWrites(), IsEmpty());
  }
}

TEST(ResConnection, BodyLongerThanTheFrameIsRefusedUnread) {
  // Word 3 promises a whole body; the frame holds only 20 bytes of it.
  struct Row {
    size_t frameLen;
    int result;
  };
  for (const Row r : {Row{12 + 20, -1}, Row{12, -1}, Row{12 + 52, -1 /* bad marks: 0x5A */}}) {
    SCOPED_TRACE(r.frameLen);
    Rig rig;
    rig.client.m_bLinkReady = true;
    Bytes frame(r.frameLen, 0x5A);  // exactly frameLen bytes: ASan sees any overrun
    const FrameHeader h = Answer(0, 52, 0x1003);
    EXPECT_EQ(rig.client.ResConnection(h, frame.data(), frame.size()), r.result);
    const auto log = rig.TakeLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), (LogLine{1, "Recv[ResConnection-Body  ]: error"}));
    // Only the full frame gets as far as the body trace.
    EXPECT_EQ(log.size(), r.frameLen == 12 + 52 ? 3u : 2u);
  }
}

TEST(ResConnection, HeaderTraceLiteral) {
  Rig rig;
  rig.client.ResConnection(Answer(0x120, 0, 0x1003), nullptr);
  EXPECT_THAT(rig.TakeLog(),
              ElementsAre(LogLine{4, "Recv[ResConnection-Header]: 0xc9fd, 0xc58d, 0x1003, 0x120, 0x0"},
                          LogLine{1, "0x120: boot loader upgrade error."}));
}

TEST(ResRebooting, StatusCases) {
  struct Row {
    uint16_t status;
    bool linkReady;
    int result;
  } rows[] = {
      {0, true, 0}, {0, false, -1}, {0x110, false, 0}, {0x110, true, 0}, {0x51, false, 0},
      {0xFFFF, false, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE("status " + std::to_string(r.status) + " ready " + std::to_string(r.linkReady));
    Rig rig;
    rig.client.m_bLinkReady = r.linkReady;
    const FrameHeader h = Answer(r.status, 0, 0x1003);
    EXPECT_EQ(rig.client.ResRebooting(h, nullptr), r.result);
    // No text for the status, not even for a listed device error code.
    EXPECT_THAT(rig.TakeLog(), ElementsAre(LogLine{4, HeaderTrace("ResRebooting", h)}));
    EXPECT_THAT(rig.TakeWrites(), IsEmpty());
  }
}

// ---------------------------------------------------------------------------
// Auxiliary requests.

Bytes IndexFrame(uint32_t index, const uint8_t* data, uint32_t n) {
  Bytes f(1056, 0);
  const uint8_t head[12] = {0xFD, 0xC9, 0x12, 0x10, 0x00, 0x00, 0x14, 0x04, 0x00, 0x00, 0x8D, 0xC5};
  std::copy(head, head + 12, f.begin());
  f[12] = 0xFE;
  f[13] = 0xC5;
  PutLe(f, 16, index, 4);
  PutLe(f, 20, n, 4);
  PutLe(f, 24, Crc32(data, n), 4);
  std::memcpy(f.data() + 28, data, n);
  f[1054] = 0x0D;
  f[1055] = 0xC9;
  return f;
}

TEST(ChunkedRequests, FramesAndTraces) {
  const Bytes data = Pattern(100);
  const int32_t crc = static_cast<int32_t>(Crc32(data.data(), data.size()));
  const auto crcText = std::to_string(crc);
  struct Row {
    std::string name;
    std::function<int(cSerialClient1&)> call;
    Bytes frame;
    std::vector<size_t> unfixed;  // offsets whose value the protocol leaves open
    std::string trace;
  };
  const Bytes startBody = {0xFD, 0xC9, 0, 0, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
                           0xFE, 0xC5, 0, 0, 0x00, 0x00, 0x18, 0x00, 0x0D, 0xC9, 0x00, 0x00};
  auto start = [&](uint16_t code) {
    Bytes f = startBody;
    f[2] = uint8_t(code);
    f[3] = uint8_t(code >> 8);
    return f;
  };
  const Row rows[] = {
      {"ReqRebooting", [](cSerialClient1& c) { return c.ReqRebooting(); },
       {0xFD, 0xC9, 0x02, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5, 0x00, 0x00},
       {},
       "Send[ReqRebooting]: 0xc9fd, 0xc58d, 0x1002, 0x0, 0x0 = 0x0"},
      {"ReqPauseData", [](cSerialClient1& c) { return c.ReqPauseData(); },
       {0xFD, 0xC9, 0x14, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5, 0x00, 0x00},
       {},
       "Send[ReqPauseData]: 0xc9fd, 0xc58d, 0x1014, 0x0, 0x0 = 0x0"},
      {"ReqInitData", [](cSerialClient1& c) { return c.ReqInitData(); },
       {0xFD, 0xC9, 0x16, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5, 0x00, 0x00},
       {},
       "Send[ReqInitData]: 0xc9fd, 0xc58d, 0x1016, 0x0, 0x0 = 0x0"},
      {"ReqReadData start", [](cSerialClient1& c) { return c.ReqReadData(nullptr, 0x180000, -1); },
       start(0x1008), {14, 15},
       "Send[ReqReadData:-1]: 0xc9fd, 0xc58d, 0x1008, 0x1, 0xc = 0xc5fe, 0xc90d, 1572864"},
      {"ReqWriteData start", [](cSerialClient1& c) { return c.ReqWriteData(nullptr, 0x180000, -1); },
       start(0x1010), {14, 15},
       "Send[ReqWriteData:-1]: 0xc9fd, 0xc58d, 0x1010, 0x1, 0xc = 0xc5fe, 0xc90d, 1572864"},
      {"ReqReadData chunk",
       [&](cSerialClient1& c) { return c.ReqReadData(data.data(), 100, 3); },
       ChunkFrame(0x1008, 3, data.data(), 100), {},
       "Send[ReqReadData:3]: 0xc9fd, 0xc58d, 0x1008, 0x0, 0x410 = 0xc5fe, 0xc90d, 3, 100, " +
           crcText},
      // An index beyond 16 bits: the body carries its low half, the label all of it.
      {"ReqWriteData chunk",
       [&](cSerialClient1& c) { return c.ReqWriteData(data.data(), 100, 0x12345); },
       ChunkFrame(0x1010, 0x2345, data.data(), 100), {},
       "Send[ReqWriteData:74565]: 0xc9fd, 0xc58d, 0x1010, 0x0, 0x410 = 0xc5fe, 0xc90d, 9029, 100, " +
           crcText},
      {"ReqIndexData", [&](cSerialClient1& c) { return c.ReqIndexData(data.data(), 100, 7); },
       IndexFrame(7, data.data(), 100), {14, 15},
       "Send[ReqIndexData]: 0xc9fd, 0xc58d, 0x1012, 0x0, 0x414 = 0xc5fe, 0xc90d, 7, 100, " +
           crcText},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    {
      Rig rig;
      EXPECT_EQ(r.call(rig.client), 0);
      auto writes = rig.TakeWrites();
      ASSERT_EQ(writes.size(), 1u);
      Bytes got = writes[0];
      Bytes want = r.frame;
      ASSERT_EQ(got.size(), want.size());
      for (size_t at : r.unfixed) got[at] = want[at];
      EXPECT_EQ(got, want);
      EXPECT_THAT(rig.TakeLog(), ElementsAre(LogLine{5, r.trace}));
      EXPECT_THAT(rig.clock.Sleeps(), ElementsAre(10));
    }
    {
      Rig rig;
      rig.ClosePort();
      EXPECT_EQ(r.call(rig.client), -1);
      EXPECT_THAT(rig.TakeWrites(), IsEmpty());
      EXPECT_THAT(rig.TakeLog(), ElementsAre(LogLine{0, "Port not open."}));
    }
  }
}

}  // namespace
}  // namespace t42rm
