// `demo`: a complete upgrade without hardware. Writes a small sample image of
// the mode into a temporary folder, runs the device simulator in-process on a
// pseudo-terminal (a thread of its own on the master end) and flashes the
// sample through the slave end exactly as `flash` does; then prints the
// simulator's verdict and removes the folder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/progress.h"
#include "common/upgrade_types.h"

namespace t42rm::cli {

struct DemoOptions {
  UpgradeMode mode = kModeFirmware;
  std::string trace;
  ViewKind view = ViewKind::kAuto;
};

// Exit status as for flash; 2 also when the simulator does not accept the upgrade.
int RunDemo(const DemoOptions& options, const Console& console,
            const std::function<int()>& interrupted);

// The sample image file of a mode: a few blocks of data among blank (0xFF)
// ones, so that the demo is quick; a firmware image with its 64-byte header
// and CRC-32 trailer.
std::vector<uint8_t> MakeSampleImage(UpgradeMode mode);

}  // namespace t42rm::cli
