#include "app/qt/qt_executor.h"

#include <QMetaObject>

namespace t42rm::app {

void QtUserThreadExecutor::Post(std::function<void()> task) {
  QMetaObject::invokeMethod(
      &m_context, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

}  // namespace t42rm::app
