#include "cli/trace_log.h"

#include <cerrno>
#include <cstring>

#include "cli/os_console.h"
#include "common/upgrade_types.h"

namespace t42rm::cli {

std::string LogLevelName(int level) {
  switch (level) {
    case kLogLink:
      return "link";
    case kLogError:
      return "error";
    case kLogRecv:
      return "recv";
    case kLogSend:
      return "send";
    default:
      return std::to_string(level);
  }
}

bool TraceLog::Open(const std::string& target) {
  if (target == "-") {
    file_ = stderr;
    owned_ = false;
    return true;
  }
  file_ = std::fopen(target.c_str(), "w");
  if (!file_) {
    error_ = "cannot write the trace file " + target + ": " + std::strerror(errno);
    return false;
  }
  owned_ = true;
  return true;
}

TraceLog::~TraceLog() {
  if (owned_ && file_) std::fclose(file_);
}

void TraceLog::WriteLine(int level, std::string_view line) {
  if (!file_) return;
  const std::string stamp = LocalTimestamp();
  std::lock_guard lock(mutex_);
  std::fprintf(file_, "%s [%s] %.*s\n", stamp.c_str(), LogLevelName(level).c_str(),
               static_cast<int>(line.size()), line.data());
  std::fflush(file_);
}

}  // namespace t42rm::cli
