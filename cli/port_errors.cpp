#include "cli/port_errors.h"

#include "cli/os_console.h"

namespace t42rm::cli {

std::string DescribeOpenFailure(const std::string& port, OpenFailure failure,
                                const OsError& error) {
  std::string s = "cannot open " + port + ": ";
  switch (failure) {
    case OpenFailure::kMissing:
      s += "no such device (is the adapter plugged in? 't42rm-upgrade ports' lists the serial "
           "devices found)";
      break;
    case OpenFailure::kBusy:
      s += "the port is busy: another program has it open";
      break;
    case OpenFailure::kPermission: {
      const std::string group = OwningGroup(port);
      s += "permission denied";
      if (!group.empty())
        s += "; the device belongs to group '" + group +
             "': add your user to it (sudo usermod -aG " + group + " $USER) and log in again";
      else
        s += "; your user needs to be in the group that owns the device";
      break;
    }
    case OpenFailure::kNotSerial:
      s += "not a serial device";
      break;
    case OpenFailure::kNone:
    case OpenFailure::kOther:
      s += "cannot be opened or configured";
      break;
  }
  const std::string os = error.Describe();
  if (!os.empty()) {
    s += " [" + os;
    if (error.code) s += ", errno " + std::to_string(error.code);
    s += "]";
  }
  return s;
}

}  // namespace t42rm::cli
