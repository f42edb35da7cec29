// The hand-off seam between the reader thread and the user thread (the thread
// that owns the client and runs every protocol step). A front end provides it:
// the command line and the tests with EventLoop, the dialog through its toolkit.
#pragma once

#include <functional>

namespace t42rm {

class UserThreadExecutor {
 public:
  virtual ~UserThreadExecutor() = default;
  // Queues task to run on the user thread; callable from any thread, never
  // blocks and never runs the task inline. Tasks run in the order posted.
  virtual void Post(std::function<void()> task) = 0;
};

}  // namespace t42rm
