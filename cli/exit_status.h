// Exit statuses of t42rm-upgrade; scripts rely on them, so they never change.
#pragma once

namespace t42rm::cli {

enum ExitStatus : int {
  kExitDone = 0,
  kExitUsage = 1,            // bad command line, unwritable trace file
  kExitImageRefused = 2,     // refused before sending, or rejected by the device
  kExitPortFailed = 3,       // missing, busy, permission denied, not a serial device
  kExitDeviceSilent = 4,     // no frame from the device for --timeout seconds
  kExitDeviceLost = 5,       // hung up or unplugged during the transfer
  kExitInterruptBase = 128,  // + the signal: 130 for Ctrl-C
};

}  // namespace t42rm::cli
