// Helpers of the Qt view tests: waiting while Qt's events run, and answering
// a modal dialog that a handler is about to open.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <functional>

namespace t42rm::app::testing {

// Runs Qt's events until cond holds or timeoutMs passes; returns cond().
inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 5000) {
  QElapsedTimer t;
  t.start();
  while (!cond()) {
    if (t.elapsed() > timeoutMs) return cond();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QTest::qWait(5);
  }
  return true;
}

// Once a modal widget is up (within the nested loop of the call that opens
// it), hands it to answer, which must close it.
inline void WhenModalAppears(std::function<void(QWidget*)> answer) {
  auto* poll = new QTimer(qApp);
  QObject::connect(poll, &QTimer::timeout, poll, [poll, answer = std::move(answer)] {
    if (QWidget* w = QApplication::activeModalWidget()) {
      poll->stop();
      poll->deleteLater();
      answer(w);
    }
  });
  poll->start(10);
}

}  // namespace t42rm::app::testing
