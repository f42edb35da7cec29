// t42rm-upgrade-gui: the upgrade dialog. Runs until the dialog is closed.
#include <QApplication>

#include "app/dialog_template.h"
#include "app/qlbloader.h"
#include "app/qt/app_icon.h"
#include "app/qt/qt_toolkit.h"

int main(int argc, char* argv[]) {
  QApplication qapp(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("t42rm-upgrade-gui"));
  const std::string_view version = t42rm::app::kVersionText;
  QCoreApplication::setApplicationVersion(
      QString::fromUtf8(version.data(), static_cast<qsizetype>(version.size())));
  QApplication::setWindowIcon(t42rm::app::AppIcon());

  t42rm::app::QtToolkit toolkit;
  t42rm::app::QtLogSink log;
  t42rm::app::QtTraceSink trace;
  t42rm::app::CQlbLoaderApp theApp(toolkit, &log, &trace);
  theApp.InitInstance();
  return 0;
}
