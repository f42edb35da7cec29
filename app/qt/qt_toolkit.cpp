#include "app/qt/qt_toolkit.h"

#include <QLoggingCategory>

#include "app/qt/qt_dialog_view.h"

namespace t42rm::app {
namespace {

Q_LOGGING_CATEGORY(lcLog, "t42rm.log", QtWarningMsg)
Q_LOGGING_CATEGORY(lcTrace, "t42rm.trace", QtWarningMsg)

QString ToQt(std::string_view text) {
  // Trace texts end in a line break of their own; the logger adds one.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

std::unique_ptr<DialogView> QtToolkit::CreateMainView() { return std::make_unique<QtDialogView>(); }

void QtLogSink::WriteLine(int level, std::string_view line) {
  qCDebug(lcLog).noquote() << level << ToQt(line);
}

void QtTraceSink::Trace(std::string_view text) { qCDebug(lcTrace).noquote() << ToQt(text); }

}  // namespace t42rm::app
