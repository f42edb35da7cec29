// Where the client's lines go. Libraries never print; a front end installs a
// sink when it wants the lines. Sinks are called on the thread that logs.
#pragma once

#include <string_view>

namespace t42rm {

// Receives every WriteLog line (level 0 link, 1 error, 4 received, 5 sent).
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void WriteLine(int level, std::string_view line) = 0;
};

// Receives the short fixed debug traces (the debugger output of the original).
class DebugSink {
 public:
  virtual ~DebugSink() = default;
  virtual void Trace(std::string_view text) = 0;
};

}  // namespace t42rm
