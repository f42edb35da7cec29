#include "cli/commands.h"

#include "cli/exit_status.h"
#include "cli/image_mode.h"
#include "platform/serial_ports.h"
#include "protocol/image_check.h"

namespace t42rm::cli {

int RunCheck(const std::string& image, std::optional<UpgradeMode> mode, bool force,
             const Console& console) {
  std::FILE* out = console.out;
  const ModeChoice choice = ChooseMode(image, mode, force);
  std::fprintf(out, "image:           %s\n", image.c_str());
  if (!choice.mode) {
    std::fprintf(out, "verdict:         refused: %s\n", choice.error.c_str());
    return kExitImageRefused;
  }
  std::fprintf(out, "mode:            %s%s\n", ModeName(choice.mode),
               mode ? "" : " (from the extension)");
  if (!choice.warning.empty()) std::fprintf(out, "warning:         %s\n", choice.warning.c_str());

  const ImageReport r = InspectImage(image, choice.mode);
  if (r.problem != ImageProblem::kUnreadable && r.problem != ImageProblem::kBadMode)
    std::fprintf(out, "size:            %lld bytes\n", static_cast<long long>(r.size));
  const bool crcKnown = r.Accepted() || r.problem == ImageProblem::kStoredCrcMismatch;
  if (r.firmware && crcKnown) {
    std::fprintf(out, "stored CRC-32:   %08x\n", r.storedCrc);
    std::fprintf(out, "computed CRC-32: %08x (%s)\n", r.computedCrc,
                 r.storedCrc == r.computedCrc ? "matches" : "does NOT match");
  }
  if (r.Accepted()) {
    std::fprintf(out, "blocks:          %u to send from offset 0x%x: %u with data, %u blank\n",
                 r.BlocksToSend(), r.firstOffset, r.DataBlocks(), r.blankBlocks);
    std::fprintf(out, "image CRC-32:    %08x (the overall CRC the device will be told)\n",
                 r.imageCrc);
    std::fprintf(out, "verdict:         accepted\n");
    return kExitDone;
  }
  std::fprintf(out, "verdict:         refused: %s (%s)\n", ImageProblemText(r.problem),
               r.detail.c_str());
  return kExitImageRefused;
}

int RunPorts(const Console& console) {
  const std::vector<SerialPortInfo> ports = ListSerialPorts();
  if (ports.empty()) {
    std::fprintf(console.err, "no serial devices found\n");
    return kExitDone;
  }
  size_t width = 0;
  for (const auto& p : ports) width = std::max(width, p.path.size());
  for (const auto& p : ports) {
    std::string line = p.path + std::string(width - p.path.size() + 2, ' ');
    line += p.description.empty() ? "(no description)" : p.description;
    if (!p.byIdPath.empty()) line += "  " + p.byIdPath;
    std::fprintf(console.out, "%s\n", line.c_str());
  }
  return kExitDone;
}

}  // namespace t42rm::cli
