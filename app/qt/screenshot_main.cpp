// t42rm-gui-screenshot: shows the real dialog and saves PNGs of it, for a
// reviewer to look at (run by scripts/screenshot under Xvfb). Not installed.
//
//   t42rm-gui-screenshot OUTDIR [--port PATH --image FILE]
//
// Saves OUTDIR/start.png after start. With a port (the end of t42rm-sim's
// pseudo-terminal) and a channel data image it then does what a technician
// does: types the port, Connect, "Channel data upgrade", Load with the image
// as the chooser's answer; it saves upgrade.png once the first block has gone
// and finished.png when the status line says so. Exit 0 when every picture
// was saved (and the upgrade finished, if one was asked for).
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTextStream>
#include <QThread>
#include <functional>

#include "app/QlbLoaderDlg.h"
#include "app/qt/app_icon.h"
#include "app/qt/qt_dialog_view.h"
#include "app/qt/qt_executor.h"

namespace {

using namespace t42rm::app;

bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
  QElapsedTimer t;
  t.start();
  while (!cond()) {
    if (t.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return true;
}

void Settle(int ms) { WaitFor([] { return false; }, ms); }

bool Save(QtDialogView& view, const QString& dir, const QString& name) {
  Settle(200);  // let the window system draw what changed
  const QPixmap shot = view.screen()->grabWindow(view.winId());
  const QString path = dir + QLatin1Char('/') + name;
  const bool ok = !shot.isNull() && shot.save(path, "PNG");
  const auto* bar = static_cast<const QProgressBar*>(view.Control(IDC_PROGRESS));
  QTextStream(stdout) << (ok ? "saved " : "could not save ") << path << " (bar " << bar->value()
                      << "/" << bar->maximum() << ", status \"" << view.StatusText() << "\")"
                      << Qt::endl;
  return ok;
}

int Usage() {
  QTextStream(stderr) << "usage: t42rm-gui-screenshot OUTDIR [--port PATH --image FILE]\n";
  return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication qapp(argc, argv);
  QApplication::setWindowIcon(AppIcon());
  const QStringList args = QCoreApplication::arguments();
  if (args.size() < 2) return Usage();
  const QString outDir = args.at(1);
  QString port, image;
  for (qsizetype i = 2; i + 1 < args.size(); i += 2) {
    if (args.at(i) == QLatin1String("--port")) {
      port = args.at(i + 1);
    } else if (args.at(i) == QLatin1String("--image")) {
      image = args.at(i + 1);
    } else {
      return Usage();
    }
  }
  if (port.isEmpty() != image.isEmpty()) return Usage();

  QtUserThreadExecutor executor;
  QtDialogView view;
  CQlbLoaderDlg dlg(view, executor);
  view.Open(dlg);
  bool ok = WaitFor([&] { return view.isVisible(); }, 5000) && Save(view, outDir, "start.png");
  if (port.isEmpty()) return ok ? 0 : 1;

  auto* combo = static_cast<QComboBox*>(view.Control(IDC_PORT));
  combo->setEditText(port);
  static_cast<QPushButton*>(view.Control(IDC_CONNECT))->click();
  static_cast<QAbstractButton*>(view.Control(IDC_RADIO3))->click();
  view.SetFileChooser([&](const FileFilter&) {
    return FileChoice{true, image.toStdString(), QFileInfo(image).fileName().toStdString()};
  });
  static_cast<QPushButton*>(view.Control(IDC_LOAD))->click();

  auto* bar = static_cast<QProgressBar*>(view.Control(IDC_PROGRESS));
  ok = WaitFor([&] { return bar->value() >= 1; }, 30000) && Save(view, outDir, "upgrade.png") && ok;
  const bool finished =
      WaitFor([&] { return view.StatusText().startsWith(QLatin1String("Finished")); }, 60000);
  ok = Save(view, outDir, "finished.png") && ok;
  QTextStream(stdout) << "status: " << view.StatusText() << Qt::endl;
  return ok && finished ? 0 : 1;
}
