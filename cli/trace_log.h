// --trace: every line the client passes to WriteLog, with its level and a
// timestamp, to a file or to stderr. Lines are flushed as they come, so a
// trace stays readable after a crash or a Ctrl-C.
//
// Threads: WriteLine may be called from any thread (the client logs on the
// user thread; a lock keeps lines whole if that ever changes).
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "common/log_sink.h"

namespace t42rm::cli {

class TraceLog final : public LogSink {
 public:
  // "-" is stderr. Open() false: error() says why.
  bool Open(const std::string& target);
  ~TraceLog() override;
  void WriteLine(int level, std::string_view line) override;
  const std::string& error() const { return error_; }

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  std::string error_;
};

// "link", "error", "recv", "send", or the number.
std::string LogLevelName(int level);

}  // namespace t42rm::cli
