// The receive pump's hand-off onto the Qt GUI thread: each task becomes a
// queued invocation on an object of the GUI thread, so it runs there the next
// time the event loop (or a nested one: a file dialog, the About box) takes
// events. The pump itself waits until the task has run.
//
// Threads: construct and destroy on the GUI thread; Post from any thread. It
// must outlive every pump that posts to it.
#pragma once

#include <QObject>

#include "serial/user_thread.h"

namespace t42rm::app {

class QtUserThreadExecutor final : public UserThreadExecutor {
 public:
  void Post(std::function<void()> task) override;

 private:
  QObject m_context;  // lives on the constructing thread
};

}  // namespace t42rm::app
