// The serial devices of this machine, for the port lists of the front ends.
#pragma once

#include <string>
#include <vector>

namespace t42rm {

struct SerialPortInfo {
  std::string path;         // what to open, e.g. /dev/ttyUSB0 (Windows: COM1)
  std::string description;  // what the system knows: USB adapter name, driver
  std::string byIdPath;     // /dev/serial/by-id/... link to it, if any
};

// Devices found: /dev/ttyUSB*, /dev/ttyACM*, and /dev/ttyS* that have hardware
// behind them, sorted naturally (ttyS2 before ttyS10). On Windows: COM1..COM9.
std::vector<SerialPortInfo> ListSerialPorts();

}  // namespace t42rm
