// Upgrade modes on the command line: their names, the image extension each
// expects, and the choice of a mode for an image. Pure functions.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "common/upgrade_types.h"

namespace t42rm::cli {

// "firmware", "boot", "module", "channel" -> mode (for the option parser).
const std::map<std::string, UpgradeMode>& ModeNames();

// The extension the dialog's file filter offers for a mode (".qlb", ".exx", ".qlu").
const char* ExtensionOfMode(UpgradeMode mode);

// The mode an image's extension stands for (".qlb" is firmware); none for an
// unknown extension. Case-insensitive.
std::optional<UpgradeMode> ModeOfExtension(const std::string& path);

struct ModeChoice {
  UpgradeMode mode = 0;  // 0: refused
  std::string error;     // why refused
  std::string warning;   // a contradiction let through by force
};

// The mode for image: the one asked for, else the extension's. A mode that
// contradicts the extension (or an extension no mode uses) is refused unless
// force is set.
ModeChoice ChooseMode(const std::string& path, std::optional<UpgradeMode> asked, bool force);

}  // namespace t42rm::cli
