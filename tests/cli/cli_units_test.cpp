// The command line's own logic: the choice of a mode, the time-left estimate
// of the progress meter, the progress texts and JSON escaping.
#include <gtest/gtest.h>

#include "cli/image_mode.h"
#include "cli/json_line.h"
#include "cli/progress.h"

namespace t42rm::cli {
namespace {

struct ModeCase {
  const char* path;
  std::optional<UpgradeMode> asked;
  bool force;
  UpgradeMode expected;  // 0: refused
  bool warned;
};

TEST(ChooseMode, ExtensionDecidesAndContradictionsNeedForce) {
  const ModeCase cases[] = {
      {"a/fw.qlb", std::nullopt, false, kModeFirmware, false},
      {"FW.QLB", std::nullopt, false, kModeFirmware, false},
      {"m.exx", std::nullopt, false, kModeModule, false},
      {"c.qlu", std::nullopt, false, kModeChannel, false},
      {"fw.qlb", kModeBootAndFirmware, false, kModeBootAndFirmware, false},
      {"c.qlu", kModeFirmware, false, 0, false},
      {"c.qlu", kModeFirmware, true, kModeFirmware, true},
      {"fw.qlb", kModeModule, false, 0, false},
      {"image.bin", std::nullopt, false, 0, false},
      {"image.bin", std::nullopt, true, 0, false},  // force cannot guess a mode
      {"image.bin", kModeChannel, false, 0, false},
      {"image.bin", kModeChannel, true, kModeChannel, true},
  };
  for (const ModeCase& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " asked " + (c.asked ? ModeName(*c.asked) : "none") +
                 (c.force ? " forced" : ""));
    const ModeChoice choice = ChooseMode(c.path, c.asked, c.force);
    EXPECT_EQ(choice.mode, c.expected);
    EXPECT_EQ(choice.error.empty(), c.expected != 0);
    EXPECT_EQ(!choice.warning.empty(), c.warned);
  }
}

using std::chrono::milliseconds;

TEST(ProgressMeter, EstimatesFromThePlanAndMeasuredBlockTimes) {
  const SteadyTime t0{};
  // Blocks: data, blank, data, blank, blank.
  ProgressMeter meter({false, true, false, true, true}, t0);
  EXPECT_EQ(meter.Expected(), 5u);
  EXPECT_NEAR(meter.SecondsLeft(),
              2 * ProgressMeter::DataBlockEstimate() + 3 * ProgressMeter::BlankBlockEstimate(),
              1e-9);

  meter.OnBlock(t0 + milliseconds(1000), 0, false, false);
  meter.OnBlock(t0 + milliseconds(1100), 1, true, false);
  // Measured: a data block 1.0 s, a blank one 0.1 s; left: one data, two blank.
  EXPECT_NEAR(meter.SecondsLeft(), 1.0 + 2 * 0.1, 1e-9);
  EXPECT_EQ(meter.Done(), 2u);
  EXPECT_EQ(meter.Percent(), 40);
  EXPECT_EQ(meter.BytesSent(), 8192u);

  // A repeat of block 1 does not move the count back; its bytes count.
  meter.OnBlock(t0 + milliseconds(2300), 0, false, true);
  EXPECT_EQ(meter.Done(), 2u);
  EXPECT_EQ(meter.Sent(), 3u);
  EXPECT_EQ(meter.Repeats(), 1u);
  EXPECT_EQ(meter.BytesSent(), 2u * 8192u);
  EXPECT_NEAR(meter.SecondsLeft(), 1.1 + 2 * 0.1, 1e-9);
  EXPECT_NEAR(meter.BytesPerSecond(t0 + milliseconds(2000)), 8192.0, 1e-6);

  for (uint32_t i = 2; i < 5; ++i)
    meter.OnBlock(t0 + milliseconds(2400 + 100 * i), i, i != 2, false);
  EXPECT_EQ(meter.Percent(), 100);
  EXPECT_EQ(meter.SecondsLeft(), 0);
}

TEST(ProgressMeter, TheStagedCountWinsOverThePlan) {
  ProgressMeter meter({true, true}, SteadyTime{});
  meter.SetExpected(4);  // blocks beyond the plan are counted as data
  EXPECT_NEAR(meter.SecondsLeft(),
              2 * ProgressMeter::BlankBlockEstimate() + 2 * ProgressMeter::DataBlockEstimate(),
              1e-9);
}

TEST(ProgressText, BarAndLineShowCountsBytesAndTimeLeft) {
  const SteadyTime t0{};
  ProgressMeter meter(std::vector<bool>(4, false), t0);
  meter.OnBlock(t0 + milliseconds(1000), 0, false, false);
  const SteadyTime now = t0 + milliseconds(2000);
  EXPECT_EQ(RenderBar(meter, now, 8), "[##------]  25%  1/4 blocks  8.0 KiB  4.0 KiB/s  0:03 left");
  EXPECT_EQ(RenderProgressLine(meter, now),
            "progress  25%: block 1 of 4, 8.0 KiB sent, 4.0 KiB/s, about 0:03 left");
  EXPECT_EQ(FormatClock(3725), "1:02:05");
  EXPECT_EQ(FormatBytes(1536 * 1024), "1.5 MiB");
}

TEST(JsonLine, EscapesWhatJsonRequires) {
  const std::string text = JsonLine("x")
                               .Str("path", "C:\\a \"b\"\n\x01")
                               .Int("n", -3)
                               .Bool("ok", true)
                               .Real("s", 1.5)
                               .Text();
  EXPECT_EQ(text, R"({"event":"x","path":"C:\\a \"b\"\n\u0001","n":-3,"ok":true,"s":1.500})");
}

}  // namespace
}  // namespace t42rm::cli
