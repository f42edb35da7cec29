// The receive state machine: assembly of hand-offs, the start-byte scan, the
// header check and decoding, packet code errors and their purge.
#include <gtest/gtest.h>

#include <algorithm>

#include "protocol/streaming_state.h"
#include "tests/unit/client_harness.h"

namespace t42rm::unit {
namespace {

// DevUpgradeQuery: its answer (UPGRADE) makes a dispatch visible on the wire.
const Bytes kQuery = DeviceFrame(0x1001);
const Bytes kUpgradeAnswer = {0xFD, 0xC9, 0x04, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5};
// A header in the client's own byte order: its end mark is wrong for a device frame.
const Bytes kBadEndMark = {0xFD, 0xC9, 0x21, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5};
const std::string kCodeZeroError = "Recv: 0x0, 0x0, 0x0, 0x0, 0x0 - packet code error!";

Bytes Slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

struct Step {
  Bytes handoff;
  int result;
  int32_t recvLen;      // after the hand-off
  int32_t headerState;  // g_nHeaderState after
  int32_t errCount;     // m_nErrCount after
  int answers;          // UPGRADE frames written
};

struct ReceiveCase {
  std::string name;
  std::vector<Step> steps;
  std::vector<std::string> errorLines = {};  // every level-1 line, in order
  Bytes held = {};                           // in m_RecvBuf before the first hand-off
  int32_t errCountBefore = 0;
  bool active = true;
  const char* trace = nullptr;  // a debug trace that must have been written
};

void PrintTo(const ReceiveCase& c, std::ostream* os) { *os << c.name; }

std::vector<ReceiveCase> ReceiveCases() {
  std::vector<ReceiveCase> cases = {
      {"FrameWhileInactiveIsDropped", {{kQuery, 0, 3, 0, 0, 0}}, {}, {0x01, 0x02, 0x03}, 0, false},
      {"OneFrame", {{kQuery, 0, 0, 0, 0, 1}}},
      {"HeaderSplit5And7",
       {{Slice(kQuery, 0, 5), 0, 5, 1, 0, 0}, {Slice(kQuery, 5, 12), 0, 0, 0, 0, 1}}},
      {"HeaderSplit1And4And7",
       {{Slice(kQuery, 0, 1), 0, 1, 1, 0, 0},
        {Slice(kQuery, 1, 5), 0, 5, 1, 0, 0},
        {Slice(kQuery, 5, 12), 0, 0, 0, 0, 1}}},
      {"GarbageBeforeStartByte", {{Concat({{0x00, 0x11, 0xC5, 0x8D}, kQuery}), 0, 0, 0, 0, 1}}},
      {"GarbageThenSplitHeader",
       {{Concat({{0x00, 0x11}, Slice(kQuery, 0, 3)}), 0, 3, 1, 0, 0},
        {Slice(kQuery, 3, 12), 0, 0, 0, 0, 1}}},
      {"NoStartByteEmptiesTheBuffer",
       {{{0x01, 0x02, 0x03}, 0, 0, 0, 0, 0}, {kQuery, 0, 0, 0, 0, 1}},
       {},
       {0x11, 0x22}},
      {"ZeroByteHandOffEmptiesTheBuffer", {{{}, 0, 0, 0, 0, 0}}, {}, {0x11, 0x22, 0x33}},
      {"TwoFramesInOneHandOffOnlyFirstDispatched", {{Concat({kQuery, kQuery}), 0, 0, 0, 0, 1}}},
      {"UnknownCode0x1002",
       {{DeviceFrame(0x1002, 0x12, 0x34, 0x56), -1, 0, 0, 1, 0}},
       {"Recv: 0x0, 0x0, 0x1002, 0x12, 0x34 - packet code error!"}},
      {"UnknownCode0x1000",
       {{DeviceFrame(0x1000, 0xABCD, 0xFFFF), -1, 0, 0, 1, 0}},
       {"Recv: 0x0, 0x0, 0x1000, 0xabcd, 0xffff - packet code error!"}},
      {"UnknownCode0x1044",
       {{DeviceFrame(0x1044), -1, 0, 0, 1, 0}},
       {"Recv: 0x0, 0x0, 0x1044, 0x0, 0x0 - packet code error!"}},
      {"HandledFrameDoesNotResetErrorCount",
       {{DeviceFrame(0x1044), -1, 0, 0, 10, 0},
        {kQuery, 0, 0, 0, 10, 1},
        {DeviceFrame(0x1044), -1, 0, 0, 0, 0}},
       {"Recv: 0x0, 0x0, 0x1044, 0x0, 0x0 - packet code error!",
        "Recv: 0x0, 0x0, 0x1044, 0x0, 0x0 - packet code error!"},
       {},
       9},
      // The bad header is counted with code 0 and dropped: the next frame counts.
      {"WrongEndMarkThenNextFrameDispatched",
       {{kBadEndMark, -1, 0, 0, 1, 0}, {kQuery, 0, 0, 0, 1, 1}},
       {kCodeZeroError},
       {},
       0,
       true,
       "< N_BYTE_HEADER_SIZE\n"},
      {"WrongEndMarkCompletingAPendingHeader",
       {{Slice(kBadEndMark, 0, 5), 0, 5, 1, 0, 0},
        {Slice(kBadEndMark, 5, 12), -1, 0, 0, 1, 0},
        {kQuery, 0, 0, 0, 1, 1}},
       {kCodeZeroError}},
      {"WrongEndMarkAsEleventhErrorPurges",
       {{kBadEndMark, -1, 0, 0, 0, 0}, {kQuery, 0, 0, 0, 0, 1}},
       {kCodeZeroError},
       {},
       10},
      // Hand-offs up to the pump's 4097 bytes, and longer direct calls: every
      // move stays within the assembly buffer and the scratch area.
      {"LongHandOffStartByteAt3000",
       {{Concat({Filled(3000, 0x00), kQuery, Filled(1085, 0x00)}), 0, 0, 0, 0, 1}}},
      {"LongHandOffHeaderAtItsVeryEnd",
       {{Concat({Filled(4090, 0x11), Slice(kQuery, 0, 7)}), 0, 7, 1, 0, 0},
        {Slice(kQuery, 7, 12), 0, 0, 0, 0, 1}}},
      {"HandOffThatDoesNotFitBehindHeldBytes",
       {{Concat({Filled(100, 0x00), kQuery, Filled(3985, 0x00)}), 0, 0, 0, 0, 1}},
       {},
       Filled(cSerialClient1::kRecvBufSize - 5, 0x11)},
      {"HandOffLongerThanTheBuffer",
       {{Concat({Filled(40000, 0x00), kQuery, Filled(9988, 0x00)}), 0, 0, 0, 0, 1}}},
  };

  // Ten packet code errors are counted; the eleventh purges.
  ReceiveCase eleventh{"EleventhErrorPurges", {}};
  for (int i = 1; i <= 11; ++i) {
    eleventh.steps.push_back({DeviceFrame(0x1002, static_cast<uint16_t>(i)), -1, 0, 0, i % 11, 0});
    char line[80];
    std::snprintf(line, sizeof line, "Recv: 0x0, 0x0, 0x1002, 0x%x, 0x0 - packet code error!", i);
    eleventh.errorLines.push_back(line);
  }
  cases.push_back(eleventh);
  return cases;
}

class ReceiveStateMachine : public ClientFixture,
                            public ::testing::WithParamInterface<ReceiveCase> {};

TEST_P(ReceiveStateMachine, HandOffs) {
  const ReceiveCase& c = GetParam();
  client->m_bTransferActive = c.active;
  std::copy(c.held.begin(), c.held.end(), client->m_RecvBuf.begin());
  client->m_nRecvLen = static_cast<int32_t>(c.held.size());
  client->m_nErrCount = c.errCountBefore;

  for (size_t i = 0; i < c.steps.size(); ++i) {
    const Step& s = c.steps[i];
    SCOPED_TRACE("hand-off " + std::to_string(i) + " of " + std::to_string(s.handoff.size()) + " bytes");
    const Exchange ex = Deliver(s.handoff);
    EXPECT_EQ(ex.result, s.result);
    EXPECT_EQ(client->m_nRecvLen, s.recvLen);
    EXPECT_EQ(g_nHeaderState, s.headerState);
    EXPECT_EQ(client->m_nErrCount, s.errCount);
    EXPECT_EQ(ex.writes, std::vector<Bytes>(static_cast<size_t>(s.answers), kUpgradeAnswer));
    if (c.active) {
      // Nothing stale behind the bytes held.
      EXPECT_TRUE(std::all_of(client->m_RecvBuf.begin() + client->m_nRecvLen,
                              client->m_RecvBuf.end(), [](uint8_t b) { return b == 0; }));
    }
  }
  std::vector<LogLine> expected;
  for (const std::string& l : c.errorLines) expected.push_back({kLogError, l});
  EXPECT_EQ(sinks.At(kLogError), expected);
  if (c.trace) {
    EXPECT_NE(std::find(sinks.traces.begin(), sinks.traces.end(), c.trace), sinks.traces.end());
  }
  if (!c.active) {
    EXPECT_TRUE(std::equal(c.held.begin(), c.held.end(), client->m_RecvBuf.begin()));
  }
}

INSTANTIATE_TEST_SUITE_P(Receive, ReceiveStateMachine, ::testing::ValuesIn(ReceiveCases()),
                         [](const auto& info) { return info.param.name; });

class HeaderCheck : public ClientFixture {};

TEST_F(HeaderCheck, DecodesDeviceOrderAndRejectsAnyOtherEndMark) {
  struct Case {
    const char* name;
    Bytes held;
    int32_t stateBefore;
    int result;
    FrameHeader header;  // words 0 and 5 are never taken from the line
    int32_t recvLen;
    int32_t stateAfter;
  };
  const Case cases[] = {
      {"RepeatRequest",
       {0xFD, 0x00, 0x10, 0x21, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0xC5, 0x8D},
       1, 1, {0, 0x1021, 192, 0, 0, 0}, 0, 0},
      {"AnyByte1AndAllFourWords",
       {0xFD, 0xAB, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0xC5, 0x8D},
       1, 1, {0, 0x1234, 0x5678, 0x9ABC, 0xDEF0, 0}, 0, 0},
      {"ClientByteOrderFails",
       {0xFD, 0xC9, 0x21, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5},
       1, 1, {}, 12, 1},
      {"HalfAnEndMarkFails",
       {0xFD, 0x00, 0x10, 0x21, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC5, 0xC5},
       0, 1, {}, 12, 0},
      {"OnlyTheLowByteOfTheEndMark",
       {0xFD, 0x00, 0x10, 0x21, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D},
       0, 1, {}, 12, 0},
      {"ElevenBytesAreIncomplete",
       {0xFD, 0x00, 0x10, 0x21, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC5},
       0, 0, {}, 11, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    client->m_RecvBuf.fill(0);
    std::copy(c.held.begin(), c.held.end(), client->m_RecvBuf.begin());
    client->m_nRecvLen = static_cast<int32_t>(c.held.size());
    int32_t state = c.stateBefore;
    FrameHeader h{};
    EXPECT_EQ(client->CheckHeader(&state, &h), c.result);
    EXPECT_EQ(h.wStart, c.header.wStart);
    EXPECT_EQ(h.wCode, c.header.wCode);
    EXPECT_EQ(h.wStatus, c.header.wStatus);
    EXPECT_EQ(h.wLength, c.header.wLength);
    EXPECT_EQ(h.wParam, c.header.wParam);
    EXPECT_EQ(h.wEnd, c.header.wEnd);
    EXPECT_EQ(client->m_nRecvLen, c.recvLen);
    EXPECT_EQ(state, c.stateAfter);
    // A header that was not taken stays where it was.
    const size_t kept = static_cast<size_t>(c.recvLen);
    EXPECT_TRUE(std::equal(client->m_RecvBuf.begin(), client->m_RecvBuf.begin() + kept, c.held.begin()));
  }
}

}  // namespace
}  // namespace t42rm::unit
