// The offline subcommands: `check` (what the device will be sent, and whether
// it will accept it) and `ports` (the serial devices of this machine).
#pragma once

#include <optional>
#include <string>

#include "cli/progress.h"
#include "common/upgrade_types.h"

namespace t42rm::cli {

// Exit 0 if flash would send the image and the device accept it, 2 if not.
int RunCheck(const std::string& image, std::optional<UpgradeMode> mode, bool force,
             const Console& console);

// Exit 0; "no serial devices found" on stderr when there are none.
int RunPorts(const Console& console);

}  // namespace t42rm::cli
