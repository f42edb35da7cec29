#include "cli/image_mode.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace t42rm::cli {

const std::map<std::string, UpgradeMode>& ModeNames() {
  static const std::map<std::string, UpgradeMode> names{{"firmware", kModeFirmware},
                                                        {"boot", kModeBootAndFirmware},
                                                        {"module", kModeModule},
                                                        {"channel", kModeChannel}};
  return names;
}

const char* ExtensionOfMode(UpgradeMode mode) {
  switch (mode) {
    case kModeFirmware:
    case kModeBootAndFirmware:
      return ".qlb";
    case kModeModule:
      return ".exx";
    case kModeChannel:
      return ".qlu";
    default:
      return "";
  }
}

std::optional<UpgradeMode> ModeOfExtension(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext == ".qlb") return kModeFirmware;
  if (ext == ".exx") return kModeModule;
  if (ext == ".qlu") return kModeChannel;
  return std::nullopt;
}

ModeChoice ChooseMode(const std::string& path, std::optional<UpgradeMode> asked, bool force) {
  ModeChoice c;
  const std::optional<UpgradeMode> byExt = ModeOfExtension(path);
  const std::string ext = std::filesystem::path(path).extension().string();
  if (!asked) {
    if (byExt) {
      c.mode = *byExt;
      return c;
    }
    c.error = "cannot tell the upgrade mode from the extension '" + ext + "' of " + path +
              " (.qlb firmware, .exx module, .qlu channel): give --mode";
    return c;
  }
  // Both firmware modes take .qlb images.
  const bool fits = byExt && ExtensionOfMode(*byExt) == std::string(ExtensionOfMode(*asked));
  c.mode = *asked;
  if (fits) return c;
  const std::string what = std::string(ModeName(*asked)) + " mode expects a " +
                           ExtensionOfMode(*asked) + " image, not " + path;
  if (force) {
    c.warning = what + " (sent anyway: --force)";
  } else {
    c.mode = 0;
    c.error = what + "; use --force to send it anyway";
  }
  return c;
}

}  // namespace t42rm::cli
