// The application object: runs the main dialog modally; the program ends when
// the dialog ends. Threads: the GUI thread.
#pragma once

#include "app/dialog_view.h"
#include "common/log_sink.h"

namespace t42rm::app {

class CQlbLoaderApp {
 public:
  // The toolkit, and the sinks for the client's log lines and debug traces
  // (null: dropped), must outlive InitInstance.
  explicit CQlbLoaderApp(DialogToolkit& toolkit, LogSink* log = nullptr,
                         DebugSink* trace = nullptr);

  // Creates the main dialog, runs it modally and destroys it. Returns false:
  // there is no message loop to enter afterwards.
  bool InitInstance();

 private:
  DialogToolkit& m_toolkit;
  LogSink* m_log;
  DebugSink* m_trace;
};

}  // namespace t42rm::app
