// The Qt toolkit of the application: main dialog views and the hand-off onto
// the GUI thread; sinks that pass the client's log lines and debug traces to
// Qt's logging (categories "t42rm.log" and "t42rm.trace", off unless enabled,
// e.g. QT_LOGGING_RULES="t42rm.*.debug=true").
//
// Threads: GUI thread; the executor's Post from any thread.
#pragma once

#include "app/dialog_view.h"
#include "app/qt/qt_executor.h"
#include "common/log_sink.h"

namespace t42rm::app {

class QtToolkit final : public DialogToolkit {
 public:
  std::unique_ptr<DialogView> CreateMainView() override;
  UserThreadExecutor& Executor() override { return m_executor; }

 private:
  QtUserThreadExecutor m_executor;
};

class QtLogSink final : public LogSink {
 public:
  void WriteLine(int level, std::string_view line) override;
};

class QtTraceSink final : public DebugSink {
 public:
  void Trace(std::string_view text) override;
};

}  // namespace t42rm::app
