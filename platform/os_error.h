// An OS failure captured where it happened: what was attempted, errno and its text.
#pragma once

#include <string>

namespace t42rm {

struct OsError {
  std::string op;       // what was attempted, e.g. "open /dev/ttyUSB0"
  int code = 0;         // errno (0: not an OS error)
  std::string message;  // strerror(code) or a description

  bool ok() const { return op.empty() && code == 0 && message.empty(); }
  std::string Describe() const {
    if (ok()) return {};
    std::string s = op;
    if (!message.empty()) s += (s.empty() ? "" : ": ") + message;
    return s;
  }
};

}  // namespace t42rm
