// The one-line explanation of a port that could not be opened, naming the
// cause (missing, busy, permission denied, not a serial device) and what the
// user can do about it.
#pragma once

#include <string>

#include "platform/os_error.h"
#include "platform/serial_device.h"

namespace t42rm::cli {

std::string DescribeOpenFailure(const std::string& port, OpenFailure failure, const OsError& error);

}  // namespace t42rm::cli
