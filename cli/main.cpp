// t42rm-upgrade: upgrades a T42RM over a serial line from the command line.
//   flash --port PORT [--mode M] [--timeout S] [--trace FILE] [--quiet|--json] [--force] IMAGE
//   check [--mode M] [--force] IMAGE
//   ports
//   demo [--mode M] [--trace FILE] [--quiet|--json]
// Exit statuses: cli/exit_status.h.
#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "cli/commands.h"
#include "cli/demo.h"
#include "cli/exit_status.h"
#include "cli/flash_session.h"
#include "cli/image_mode.h"
#include "cli/os_console.h"

using namespace t42rm;
using namespace t42rm::cli;

namespace {

CLI::Option* AddMode(CLI::App* cmd, UpgradeMode& mode, const std::string& help) {
  return cmd->add_option("--mode", mode, help)
      ->transform(CLI::CheckedTransformer(ModeNames(), CLI::ignore_case).description(""))
      ->option_text("MODE");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Upgrades a T42RM device over an RS-232 line (115200 8N1)."};
  app.require_subcommand(1);
  app.set_version_flag("--version", "t42rm-upgrade 1.1.0");

  FlashOptions flash;
  UpgradeMode flashMode = 0;
  bool quiet = false, json = false;
  CLI::App* flashCmd = app.add_subcommand("flash", "Upgrade the device on PORT with IMAGE");
  flashCmd->add_option("--port", flash.port, "Serial device, e.g. /dev/ttyUSB0")
      ->required()
      ->option_text("PORT");
  CLI::Option* flashModeOpt =
      AddMode(flashCmd, flashMode, "firmware|boot|module|channel (default: from the extension)");
  flashCmd
      ->add_option("--timeout", flash.timeoutSeconds,
                   "Seconds of device silence that end the transfer (default 30)")
      ->check(CLI::PositiveNumber)
      ->option_text("SECONDS");
  flashCmd
      ->add_option("--trace", flash.trace, "Write every protocol log line to FILE ('-': stderr)")
      ->option_text("FILE");
  CLI::Option* quietOpt = flashCmd->add_flag("--quiet", quiet, "Print only the final line");
  flashCmd->add_flag("--json", json, "One JSON object per event on stdout")->excludes(quietOpt);
  flashCmd->add_flag("--force", flash.force, "Send an image whose extension contradicts the mode");
  flashCmd->add_option("IMAGE", flash.image, "Image file (.qlb, .exx, .qlu)")->required();

  std::string checkImage;
  UpgradeMode checkMode = 0;
  bool checkForce = false;
  CLI::App* checkCmd = app.add_subcommand(
      "check", "Check IMAGE offline: what would be sent, and would it be accepted");
  CLI::Option* checkModeOpt =
      AddMode(checkCmd, checkMode, "firmware|boot|module|channel (default: from the extension)");
  checkCmd->add_flag("--force", checkForce, "Accept an extension that contradicts the mode");
  checkCmd->add_option("IMAGE", checkImage, "Image file")->required();

  app.add_subcommand("ports", "List the serial devices of this machine");

  DemoOptions demo;
  bool demoQuiet = false, demoJson = false;
  CLI::App* demoCmd = app.add_subcommand(
      "demo", "Upgrade a simulated device on a pseudo-terminal with a sample image");
  AddMode(demoCmd, demo.mode, "firmware|boot|module|channel (default firmware)");
  demoCmd->add_option("--trace", demo.trace, "Write every protocol log line to FILE ('-': stderr)")
      ->option_text("FILE");
  CLI::Option* demoQuietOpt = demoCmd->add_flag("--quiet", demoQuiet, "Print only the final lines");
  demoCmd->add_flag("--json", demoJson, "One JSON object per event on stdout")
      ->excludes(demoQuietOpt);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitDone : kExitUsage;
  }

  Console console;
  console.errIsTerminal = IsTerminal(stderr);

  if (*checkCmd)
    return RunCheck(checkImage,
                    *checkModeOpt ? std::optional<UpgradeMode>(checkMode) : std::nullopt,
                    checkForce, console);
  if (app.got_subcommand("ports")) return RunPorts(console);

  // From here on threads run: the signals are taken by the watcher first.
  InterruptWatcher interrupt;
  auto interrupted = [&interrupt] { return interrupt.Caught(); };
  if (*demoCmd) {
    demo.view = demoJson ? ViewKind::kJson : demoQuiet ? ViewKind::kQuiet : ViewKind::kAuto;
    return RunDemo(demo, console, interrupted);
  }
  if (*flashModeOpt) flash.mode = flashMode;
  const auto view = MakeView(json    ? ViewKind::kJson
                             : quiet ? ViewKind::kQuiet
                                     : ViewKind::kAuto,
                             console);
  return RunFlash(flash, *view, interrupted);
}
