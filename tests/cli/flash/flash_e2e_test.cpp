// t42rm-upgrade run as a user runs it, against the t42rm-sim program on a
// pseudo-terminal: complete upgrades, the JSON and trace outputs, a silent,
// an unplugged and a busy device, Ctrl-C, and the demo.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <sstream>

#include "common/upgrade_types.h"
#include "platform/serial_device.h"
#include "tests/cli/cli_test_support.h"

namespace t42rm::clitest {
namespace {

const std::string kTool = T42RM_UPGRADE_BIN;

ProcessResult Flash(const std::string& port, std::vector<std::string> args,
                    const std::string& image) {
  std::vector<std::string> argv{kTool, "flash", "--port", port};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(image);
  return RunProcess(argv, 90);
}

std::string Describe(const ProcessResult& r) {
  return "exit " + std::to_string(r.exitCode) + " after " + std::to_string(r.seconds) +
         " s\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

// The image CRC of the "done: ..." line on stdout.
std::string DoneCrc(const ProcessResult& r) {
  for (const auto& line : r.OutLines()) {
    std::smatch m;
    if (line.rfind("done:", 0) == 0 &&
        std::regex_search(line, m, std::regex("CRC-32 ([0-9a-f]{8})$")))
      return m[1];
  }
  return {};
}

// --- Images, with the overall CRC the device must be told, computed here ---

struct Image {
  std::string file;  // name, with the extension that gives the mode
  Bytes bytes;
  std::string crc;  // expected overall CRC
  uint32_t blocks;
  uint32_t blanks;
};

// Firmware: 192 blocks from 0x20000, two with data; data below 0x20000 is not sent.
Image FirmwareImage() {
  const size_t size = kFirmwareFirstOffset + kFirmwareCrcLength;
  const uint32_t first = kFirmwareFirstOffset / kBlockSize;
  Bytes staged = BlankWithData(size, {3, first, first + 100});
  return {"fw.qlb", QlbFromStaged(staged),
          Hex32(Crc(staged, kFirmwareFirstOffset, kFirmwareCrcLength)), 192, 190};
}

// Boot loader and firmware: 4 blocks from 0; blocks 1 and 3 blank.
Image BootImage() {
  Bytes staged = BlankWithData(4 * kBlockSize, {0, 2});
  return {"boot.qlb", QlbFromStaged(staged), Hex32(Crc(staged, 0, staged.size())), 4, 2};
}

// Module: the CRC covers 256 KiB; the file's last 4 bytes are sent as data.
Image ModuleImage() {
  Bytes file = BlankWithData(kModuleCrcLength, {0});
  file[file.size() - 1] = 0x12;
  return {"mod.exx", file, Hex32(Crc(file, 0, kModuleCrcLength)), 32, 30};
}

// Channel: 2 blocks and 1000 bytes; the last block is padded with zeros, the
// CRC covers the file only.
Image ChannelImage() {
  Bytes file = BlankWithData(2 * kBlockSize + 1000, {0, 1, 2});
  return {"chan.qlu", file, Hex32(Crc(file, 0, file.size())), 3, 0};
}

// Blank channel image of n blocks: quick to stream (a blank block is one frame).
Image BlankChannel(uint32_t n) {
  Bytes file(size_t{n} * kBlockSize, 0xFF);
  return {"blank.qlu", file, Hex32(Crc(file, 0, file.size())), n, n};
}

struct ModeCase {
  const char* name;
  Image (*image)();
  const char* simMode;
  std::vector<std::string> args;
  bool quiet;
};
void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

class FlashEachMode : public ::testing::TestWithParam<ModeCase> {};

TEST_P(FlashEachMode, UpgradesTheDeviceAndReportsTheCrc) {
  const ModeCase& c = GetParam();
  TempDir dir;
  const Image image = c.image();
  WriteFile(dir / image.file, image.bytes);
  SimProcess sim({"--mode", c.simMode});
  ASSERT_FALSE(sim.port().empty());

  const ProcessResult r = Flash(sim.port(), c.args, dir / image.file);
  const std::string verdict = sim.Verdict();
  ASSERT_EQ(r.exitCode, 0) << Describe(r) << verdict;

  EXPECT_EQ(DoneCrc(r), image.crc) << r.out;
  EXPECT_EQ(r.OutLines().back().rfind("done:", 0), 0u) << "the final line";
  EXPECT_EQ(verdict.rfind("verdict: ok", 0), 0u) << verdict;
  EXPECT_EQ(VerdictField(verdict, "mode"), c.simMode);
  EXPECT_EQ(VerdictField(verdict, "crc"), image.crc);
  EXPECT_EQ(VerdictField(verdict, "blocks"), std::to_string(image.blocks));
  EXPECT_EQ(VerdictField(verdict, "blanks"), std::to_string(image.blanks));
  EXPECT_EQ(r.err.find("ex_Send"), std::string::npos) << "nothing is logged without --trace";

  if (c.quiet) {
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.OutLines().size(), 1u) << r.out;
    return;
  }
  // stderr is not a terminal: one line per 10 %, rising, ending at 100 %.
  std::istringstream err(r.err);
  int last = 0, lines = 0;
  for (std::string line; std::getline(err, line);) {
    std::smatch m;
    if (!std::regex_search(line, m, std::regex("^progress +([0-9]+)%: block ([0-9]+) of ([0-9]+)")))
      continue;
    const int percent = std::stoi(m[1]);
    EXPECT_GE(percent, (last / 10 + 1) * 10) << line;
    EXPECT_EQ(m[3], std::to_string(image.blocks));
    last = percent;
    ++lines;
  }
  EXPECT_EQ(last, 100) << r.err;
  EXPECT_LE(lines, 10);
  EXPECT_GE(lines, std::min<int>(10, static_cast<int>(image.blocks)) / 2);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FlashEachMode,
    ::testing::Values(ModeCase{"Firmware", FirmwareImage, "firmware", {}, false},
                      ModeCase{"Boot", BootImage, "boot", {"--mode", "boot"}, false},
                      ModeCase{"ModuleQuiet", ModuleImage, "module", {"--quiet"}, true},
                      ModeCase{"Channel", ChannelImage, "channel", {"--mode", "channel"}, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The JSON lines parse, and they tell what the device saw: the same blocks,
// the same repeat, the same CRC.
TEST(FlashJson, LinesParseAndTellTheSameStory) {
  TempDir dir;
  const Image image = BootImage();
  WriteFile(dir / image.file, image.bytes);
  SimProcess sim({"--mode", "boot", "--repeat-block", "0"});
  const ProcessResult r = Flash(sim.port(), {"--mode", "boot", "--json"}, dir / image.file);
  const std::string verdict = sim.Verdict();
  ASSERT_EQ(r.exitCode, 0) << Describe(r);
  WriteFile(dir / "out.jsonl", Bytes(r.out.begin(), r.out.end()));

  // Parsed by Python's json module; one flat line per object comes back.
  const char* script =
      "import json, sys\n"
      "for line in open(sys.argv[1]):\n"
      "    o = json.loads(line)\n"
      "    assert isinstance(o, dict), line\n"
      "    f = lambda k: str(o.get(k, '-')).lower()\n"
      "    print(o['event'], f('index'), f('offset'), f('blank'), f('repeat'), f('crc'),\n"
      "          f('blocks_expected'), f('exit'))\n";
  const ProcessResult py = RunProcess({"/usr/bin/env", "python3", "-c", script, dir / "out.jsonl"});
  ASSERT_EQ(py.exitCode, 0) << py.err << r.out;

  struct Event {
    std::string event, index, offset, blank, repeat, crc, expected, exit;
  };
  std::vector<Event> events;
  for (const auto& line : py.OutLines()) {
    std::istringstream in(line);
    Event e;
    in >> e.event >> e.index >> e.offset >> e.blank >> e.repeat >> e.crc >> e.expected >> e.exit;
    events.push_back(e);
  }
  ASSERT_GE(events.size(), 4u) << r.out;
  EXPECT_EQ(events[0].event, "begin");
  EXPECT_EQ(events[1].event, "start_frame_sent");
  EXPECT_EQ(events[2].event, "staged");
  EXPECT_EQ(events[2].expected, "4");
  EXPECT_EQ(events.back().event, "finished");
  EXPECT_EQ(events.back().crc, image.crc);
  EXPECT_EQ(events.back().exit, "0");
  EXPECT_EQ(VerdictField(verdict, "crc"), image.crc);

  // Block 0, block 0 again (the device asked for a repeat), then 1, 2, 3.
  const Bytes staged = BlankWithData(4 * kBlockSize, {0, 2});
  const std::vector<std::pair<int, bool>> expected{
      {0, false}, {0, true}, {1, false}, {2, false}, {3, false}};
  std::vector<Event> blocks;
  for (const auto& e : events)
    if (e.event == "block") blocks.push_back(e);
  ASSERT_EQ(blocks.size(), expected.size()) << r.out;
  EXPECT_EQ(VerdictField(verdict, "blocks"), std::to_string(blocks.size()));
  EXPECT_EQ(VerdictField(verdict, "repeats"), "1");
  for (size_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE("block event " + std::to_string(i));
    const auto [index, repeat] = expected[i];
    const bool blank = index == 1 || index == 3;
    EXPECT_EQ(blocks[i].index, std::to_string(index));
    EXPECT_EQ(blocks[i].offset, std::to_string(index * kBlockSize));
    EXPECT_EQ(blocks[i].repeat, repeat ? "true" : "false");
    EXPECT_EQ(blocks[i].blank, blank ? "true" : "false");
    EXPECT_EQ(blocks[i].crc, blank ? "-" : Hex32(Crc(staged, index * kBlockSize, kBlockSize)));
  }
}

TEST(FlashTrace, FileHoldsTheTimestampedFrameTrace) {
  TempDir dir;
  Bytes file = BlankWithData(2 * kBlockSize, {0});  // block 0 data, block 1 blank
  WriteFile(dir / "t.qlu", file);
  SimProcess sim({"--mode", "channel"});
  const ProcessResult r = Flash(sim.port(), {"--trace", dir / "trace.txt"}, dir / "t.qlu");
  sim.Verdict();
  ASSERT_EQ(r.exitCode, 0) << Describe(r);

  const std::string trace = ReadText(dir / "trace.txt");
  std::istringstream in(trace);
  const std::regex shape(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[(link|error|recv|send|\d+)\] .+$)");
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines)
    EXPECT_TRUE(std::regex_match(line, shape)) << line;
  EXPECT_GE(lines, 4);

  const uint32_t crc = Crc(file, 0, file.size());
  char crcLine[96];
  std::snprintf(crcLine, sizeof crcLine,
                "[send] ex_Send[CRC]: 0xc9fd, 0xc58d, 0x1023, 0x0, 0x%x = 0x%x", crc >> 16,
                crc & 0xFFFF);
  // In the order of the conversation.
  const std::vector<std::string> expected{
      "[link] " + sim.port() + " - Open Ok!",
      "[send] Send[ReqUpgradeF:-1]: 0xc9fd, 0xc58d, 0x1042, 0x1, 0xc",  // channel start frame
      "[send] ex_Send[crc=" + Hex32(Crc(file, 0, kBlockSize)) + "]: 0xc9fd, 0xc58d, 0x1020, 0x0",
      "[send] ex_Send[NON_DATA]: 0xc9fd, 0xc58d, 0x1020, 0x1, 0x0 = 0x0",
      crcLine,
  };
  size_t at = 0;
  for (const auto& text : expected) {
    const size_t found = trace.find(text, at);
    ASSERT_NE(found, std::string::npos) << "missing, or out of order: " << text << "\n" << trace;
    at = found;
  }
}

TEST(FlashFailures, SilentDeviceEndsWithExit4AfterTheTimeout) {
  TempDir dir;
  const Image image = BlankChannel(4);
  WriteFile(dir / image.file, image.bytes);
  SimProcess sim({"--mode", "channel", "--silent-after", "0"});
  const ProcessResult r = Flash(sim.port(), {"--timeout", "2"}, dir / image.file);
  sim.Verdict();
  ASSERT_EQ(r.exitCode, 4) << Describe(r);
  EXPECT_NE(r.err.find("no answer from the device for 2 s after block 1 of 4"), std::string::npos)
      << r.err;
  // It waits the whole timeout, and not the default 30 s.
  EXPECT_GE(r.seconds, 2.0);
  EXPECT_LT(r.seconds, 2.0 + 6.0);
}

TEST(FlashFailures, UnpluggedDeviceEndsWithExit5) {
  TempDir dir;
  const Image image = BlankChannel(4);
  WriteFile(dir / image.file, image.bytes);
  SimProcess sim({"--mode", "channel", "--hangup-after", "1"});
  const ProcessResult r = Flash(sim.port(), {}, dir / image.file);
  sim.Verdict();
  ASSERT_EQ(r.exitCode, 5) << Describe(r);
  EXPECT_NE(r.err.find("device lost after block 2 of 4"), std::string::npos) << r.err;
  EXPECT_LT(r.seconds, 20.0) << "lost, not timed out";
}

TEST(FlashFailures, BusyPortIsNamedAsBusy) {
  TempDir dir;
  const Image image = BlankChannel(1);
  WriteFile(dir / image.file, image.bytes);
  SimProcess sim({"--mode", "channel"});
  auto holder = CreatePlatformSerialDevice();
  ASSERT_TRUE(holder->Open(sim.port())) << holder->LastError().Describe();
  const ProcessResult r = Flash(sim.port(), {}, dir / image.file);
  holder->Close();
  ASSERT_EQ(r.exitCode, 3) << Describe(r);
  EXPECT_NE(r.err.find("cannot open " + sim.port() + ": the port is busy"), std::string::npos)
      << r.err;
}

TEST(FlashFailures, CtrlCClosesThePortAndExits130) {
  TempDir dir;
  const Image image = BlankChannel(4);
  WriteFile(dir / image.file, image.bytes);
  // The device goes quiet after block 1, so the transfer is surely under way.
  SimProcess sim({"--mode", "channel", "--silent-after", "1"});
  Process flash({kTool, "flash", "--port", sim.port(), "--json", dir / image.file});
  bool sawBlock = false;
  while (auto line = flash.ReadLine(20)) {
    if (line->find("\"event\":\"block\",\"index\":1") != std::string::npos) {
      sawBlock = true;
      break;
    }
  }
  ASSERT_TRUE(sawBlock);
  const auto signalled = std::chrono::steady_clock::now();
  flash.Signal(SIGINT);
  const ProcessResult r = flash.Finish(20);
  const double afterSignal =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
  sim.Verdict();
  ASSERT_EQ(r.exitCode, 130) << Describe(r);
  EXPECT_NE(r.err.find("interrupted after block 2 of 4; the port was closed"), std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("{\"event\":\"failed\",\"exit\":130,"), std::string::npos) << r.out;
  EXPECT_LT(afterSignal, 10.0) << "ended by the signal, not by the 30 s timeout";
}

TEST(Demo, UpgradesTheBuiltInSimulator) {
  const ProcessResult r = RunProcess({kTool, "demo"}, 90);
  ASSERT_EQ(r.exitCode, 0) << Describe(r);
  const std::string crc = DoneCrc(r);
  ASSERT_FALSE(crc.empty()) << r.out;
  std::string verdict;
  for (const auto& l : r.OutLines())
    if (l.rfind("demo: simulator verdict:", 0) == 0) verdict = l.substr(16);
  EXPECT_EQ(verdict.rfind("verdict: ok mode=firmware", 0), 0u) << r.out;
  EXPECT_EQ(VerdictField(verdict, "crc"), crc);
  EXPECT_EQ(VerdictField(verdict, "blocks"), "192");
}

}  // namespace
}  // namespace t42rm::clitest
