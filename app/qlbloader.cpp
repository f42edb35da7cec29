#include "app/qlbloader.h"

#include "app/QlbLoaderDlg.h"

namespace t42rm::app {

CQlbLoaderApp::CQlbLoaderApp(DialogToolkit& toolkit, LogSink* log, DebugSink* trace)
    : m_toolkit(toolkit), m_log(log), m_trace(trace) {}

bool CQlbLoaderApp::InitInstance() {
  // The view is made first so that it outlives the dialog that talks to it.
  const std::unique_ptr<DialogView> view = m_toolkit.CreateMainView();
  CQlbLoaderDlg dlg(*view, m_toolkit.Executor());
  dlg.SetLogSink(m_log);
  dlg.SetTraceSink(m_trace);
  dlg.DoModal();
  return false;
}

}  // namespace t42rm::app
