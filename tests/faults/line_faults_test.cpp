// t42rm-upgrade against a t42rm-sim that misbehaves on purpose: one line or
// device fault per case, then bad inputs at the edges (image, port). Every
// case checks the exit status and that the client ended by itself, not by a
// signal nor by the test's kill.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "common/upgrade_types.h"
#include "platform/serial_device.h"
#include "tests/cli/cli_test_support.h"

namespace t42rm::clitest {
namespace {

namespace fs = std::filesystem;

const std::string kTool = T42RM_UPGRADE_BIN;
constexpr double kHangGuardS = 90;  // far beyond any case: reaching it means a hang

std::string Describe(const ProcessResult& r) {
  return "exit " + std::to_string(r.exitCode) + " signal " + std::to_string(r.signal) +
         (r.timedOut ? " (killed: hung)" : "") + " after " + std::to_string(r.seconds) +
         " s\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

void ExpectEndedByItself(const ProcessResult& r) {
  EXPECT_FALSE(r.timedOut) << Describe(r);
  EXPECT_EQ(r.signal, 0) << Describe(r);
}

// The image CRC of the client's "done: ..." line.
std::string DoneCrc(const ProcessResult& r) {
  for (const auto& line : r.OutLines()) {
    std::smatch m;
    if (line.rfind("done:", 0) == 0 &&
        std::regex_search(line, m, std::regex("CRC-32 ([0-9a-f]{8})$")))
      return m[1];
  }
  return {};
}

// Channel data: blocks 0 and 1 carry data, 2 and 3 are blank.
Bytes ChannelImage() { return BlankWithData(4 * kBlockSize, {0, 1}); }

// --- Faults on the line ---

struct LineFault {
  const char* name;
  std::vector<std::string> simOptions;
  std::vector<std::string> clientOptions;
  int exitStatus;
  bool verdictOk;       // else the simulator must report a failed upgrade
  std::string message;  // on stderr, when the client gives up
  std::pair<std::string, std::string> verdictField;  // a verdict field that must hold, if any
  double waitsAtLeastS = 0;  // a silence is waited out, then given up soon after
};
void PrintTo(const LineFault& c, std::ostream* os) { *os << c.name; }

class LineFaults : public ::testing::TestWithParam<LineFault> {};

TEST_P(LineFaults, ClientEndsAsTheFaultAllows) {
  const LineFault& c = GetParam();
  TempDir dir;
  const Bytes image = ChannelImage();
  WriteFile(dir / "chan.qlu", image);
  std::vector<std::string> simArgs{"--mode", "channel"};
  simArgs.insert(simArgs.end(), c.simOptions.begin(), c.simOptions.end());
  SimProcess sim(simArgs);
  ASSERT_FALSE(sim.port().empty());

  std::vector<std::string> argv{kTool, "flash", "--port", sim.port()};
  argv.insert(argv.end(), c.clientOptions.begin(), c.clientOptions.end());
  argv.push_back(dir / "chan.qlu");
  const ProcessResult r = RunProcess(argv, kHangGuardS);
  const std::string verdict = sim.Verdict();

  ExpectEndedByItself(r);
  ASSERT_EQ(r.exitCode, c.exitStatus) << Describe(r) << verdict;
  if (c.verdictOk) {
    const std::string crc = Hex32(Crc(image, 0, image.size()));
    EXPECT_EQ(verdict.rfind("verdict: ok", 0), 0u) << verdict << "\n" << Describe(r);
    EXPECT_EQ(VerdictField(verdict, "mode"), "channel");
    EXPECT_EQ(VerdictField(verdict, "crc"), crc) << verdict;
    EXPECT_EQ(DoneCrc(r), crc) << r.out;
    if (!c.verdictField.first.empty()) {
      EXPECT_EQ(VerdictField(verdict, c.verdictField.first), c.verdictField.second) << verdict;
    }
  } else {
    EXPECT_EQ(verdict.rfind("verdict: FAILED", 0), 0u) << verdict;
  }
  if (!c.message.empty()) {
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  if (c.waitsAtLeastS > 0) {
    // The data blocks take about 1.5 s before the silence; the default
    // timeout (30 s) must not be the one applied.
    EXPECT_GE(r.seconds, c.waitsAtLeastS);
    EXPECT_LT(r.seconds, c.waitsAtLeastS + 10.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Simulator, LineFaults,
    ::testing::Values(
        LineFault{"Garbage", {"--garbage"}, {}, 0, true, {}, {}},
        LineFault{"BadEndMark", {"--bad-end-mark", "2"}, {}, 0, true, {}, {}},
        LineFault{"Split", {"--split"}, {}, 0, true, {}, {}},
        LineFault{"TwoInOne", {"--two-in-one"}, {}, 0, true, {}, {}},
        LineFault{"CorruptedBlockThrice", {"--corrupt-block", "1", "--corrupt-times", "3"}, {}, 0,
                  true, {}, {"repeats", "3"}},
        LineFault{"UnknownCode", {"--unknown-code"}, {}, 0, true, {}, {}},
        LineFault{"PurgeErrors", {"--purge-errors"}, {}, 0, true, {}, {}},
        LineFault{"RestartAfterBlock1", {"--restart-after", "1"}, {}, 0, true, {}, {"restarts", "1"}},
        LineFault{"SlowLine", {"--slow-line", "2"}, {}, 0, true, {}, {}},
        LineFault{"SilentAfterBlock1", {"--silent-after", "1"}, {"--timeout", "2"}, 4, false,
                  "no answer from the device for 2 s after block 2 of 4", {}, 2.0},
        LineFault{"HangUpAfterBlock1", {"--hangup-after", "1"}, {}, 5, false,
                  "device lost after block 2 of 4", {}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Bad inputs at the edges ---

struct EdgeRun {
  ProcessResult result;
  std::string verdict;  // empty when no simulator took part
};

struct EdgeCase {
  const char* name;
  std::function<EdgeRun(const TempDir&)> run;
  int exitStatus;
  std::string message;  // on stderr
};
void PrintTo(const EdgeCase& c, std::ostream* os) { *os << c.name; }

ProcessResult FlashTo(const std::string& port, const std::string& image) {
  return RunProcess({kTool, "flash", "--port", port, image}, kHangGuardS);
}

// The image is valid; the port is not a serial device.
EdgeRun FlashToPort(const TempDir& dir, const std::string& port) {
  WriteFile(dir / "chan.qlu", ChannelImage());
  return {FlashTo(port, dir / "chan.qlu"), {}};
}

// The port is a live simulator; the image is not one.
EdgeRun FlashImageToSim(const std::string& image) {
  SimProcess sim({"--mode", "channel", "--timeout", "2"});
  ProcessResult r = FlashTo(sim.port(), image);
  return {r, sim.Verdict()};
}

// Changes the image after the client sent its start frame and before the
// device's start answer arrives: the slow line stretches that answer's 12
// bytes over about 1.8 s.
EdgeRun ChangeImageBeforeStartAnswer(const TempDir& dir,
                                     const std::function<void(const fs::path&)>& change) {
  const fs::path image = dir / "chan.qlu";
  WriteFile(image, ChannelImage());
  SimProcess sim({"--mode", "channel", "--slow-line", "150"});
  Process flash({kTool, "flash", "--port", sim.port(), "--json", image.string()});
  bool sent = false;
  while (auto line = flash.ReadLine(20)) {
    if (line->find("\"event\":\"start_frame_sent\"") != std::string::npos) {
      sent = true;
      break;
    }
  }
  if (sent) change(image);
  ProcessResult r = flash.Finish(kHangGuardS);
  if (!sent) r.err += "\n(test: no start_frame_sent event seen)";
  return {r, sim.Verdict()};
}

// 2 GiB + 1 bytes, sparse: no disk is used, and the client must refuse it by
// its size without reading it.
std::string HugeImage(const TempDir& dir, const std::string& name) {
  const std::string path = dir / name;
  WriteFile(path, {});
  fs::resize_file(path, (uint64_t{1} << 31) + 1);
  return path;
}

class EdgeInputs : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(EdgeInputs, RefusedWithTheRightStatusAndNoCrash) {
  const EdgeCase& c = GetParam();
  TempDir dir;
  const EdgeRun run = c.run(dir);
  const ProcessResult& r = run.result;
  ExpectEndedByItself(r);
  ASSERT_EQ(r.exitCode, c.exitStatus) << Describe(r) << run.verdict;
  if (!c.message.empty()) {
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  // No upgrade completed on a device that took part.
  if (!run.verdict.empty()) {
    EXPECT_EQ(run.verdict.rfind("verdict: FAILED", 0), 0u) << run.verdict;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Edges, EdgeInputs,
    ::testing::Values(
        EdgeCase{"ImageRemovedBeforeStartAnswer",
                 [](const TempDir& dir) {
                   return ChangeImageBeforeStartAnswer(dir, [](const fs::path& p) { fs::remove(p); });
                 },
                 2, "the image was refused while staging it"},
        EdgeCase{"ImageTruncatedBeforeStartAnswer",
                 [](const TempDir& dir) {
                   return ChangeImageBeforeStartAnswer(
                       dir, [](const fs::path& p) { fs::resize_file(p, kBlockSize + 100); });
                 },
                 2, "the image was refused while staging it"},
        EdgeCase{"DirectoryAsImage",
                 [](const TempDir& dir) {
                   fs::create_directory(dir / "dir.qlu");
                   return FlashImageToSim(dir / "dir.qlu");
                 },
                 2, "image refused"},
        EdgeCase{"EmptyImage",
                 [](const TempDir& dir) {
                   WriteFile(dir / "empty.qlu", {});
                   return FlashImageToSim(dir / "empty.qlu");
                 },
                 2, "image refused"},
        EdgeCase{"HugeChannelImageFlash",
                 [](const TempDir& dir) { return FlashImageToSim(HugeImage(dir, "huge.qlu")); },
                 2, "image refused"},
        EdgeCase{"HugeFirmwareImageFlash",
                 [](const TempDir& dir) { return FlashImageToSim(HugeImage(dir, "huge.qlb")); },
                 2, "image refused"},
        EdgeCase{"HugeChannelImageCheck",
                 [](const TempDir& dir) {
                   return EdgeRun{RunProcess({kTool, "check", HugeImage(dir, "huge.qlu")}, kHangGuardS),
                                  {}};
                 },
                 2, {}},
        EdgeCase{"HugeFirmwareImageCheck",
                 [](const TempDir& dir) {
                   return EdgeRun{RunProcess({kTool, "check", HugeImage(dir, "huge.qlb")}, kHangGuardS),
                                  {}};
                 },
                 2, {}},
        EdgeCase{"PortIsARegularFile",
                 [](const TempDir& dir) {
                   WriteFile(dir / "not-a-port", Bytes(16, 0));
                   return FlashToPort(dir, dir / "not-a-port");
                 },
                 3, "cannot open"},
        EdgeCase{"PortIsDevNull", [](const TempDir& dir) { return FlashToPort(dir, "/dev/null"); }, 3,
                 "cannot open /dev/null"},
        EdgeCase{"PortHeldByAnotherProcess",
                 [](const TempDir& dir) {
                   SimProcess sim({"--mode", "channel", "--timeout", "2"});
                   auto holder = CreatePlatformSerialDevice();
                   if (!holder->Open(sim.port()))
                     return EdgeRun{{-1, 0, false, {}, "test: cannot hold " + sim.port(), 0}, {}};
                   EdgeRun run = FlashToPort(dir, sim.port());
                   holder->Close();
                   run.verdict = sim.Verdict();
                   return run;
                 },
                 3, ": the port is busy"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace t42rm::clitest
