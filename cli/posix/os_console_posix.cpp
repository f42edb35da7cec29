#include <grp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "cli/os_console.h"

namespace t42rm::cli {

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

std::string LocalTimestamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t secs = system_clock::to_time_t(now);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&secs, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char text[48];
  std::snprintf(text, sizeof text, "%s.%03d", stamp, static_cast<int>(ms));
  return text;
}

std::string OwningGroup(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  std::vector<char> buf(16384);
  group g{};
  group* found = nullptr;
  if (::getgrgid_r(st.st_gid, &g, buf.data(), buf.size(), &found) != 0 || !found)
    return std::to_string(st.st_gid);
  return found->gr_name;
}

// The signals are blocked in every thread and taken by a thread of its own, so
// nothing but an atomic store happens on their arrival. SIGUSR2 only wakes that
// thread when it is to stop.
struct InterruptWatcher::Impl {
  sigset_t set{};
  sigset_t previous{};
  std::atomic<bool> stop{false};
  std::thread thread;
};

InterruptWatcher::InterruptWatcher() : impl_(std::make_unique<Impl>()) {
  sigemptyset(&impl_->set);
  sigaddset(&impl_->set, SIGINT);
  sigaddset(&impl_->set, SIGTERM);
  sigaddset(&impl_->set, SIGHUP);
  sigaddset(&impl_->set, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &impl_->set, &impl_->previous);
  impl_->thread = std::thread([this] {
    const timespec slice{1, 0};
    while (!impl_->stop.load()) {
      const int sig = sigtimedwait(&impl_->set, nullptr, &slice);
      if (sig > 0 && sig != SIGUSR2 && caught_.load() == 0) caught_.store(sig);
    }
  });
}

InterruptWatcher::~InterruptWatcher() {
  impl_->stop.store(true);
  if (impl_->thread.joinable()) {
    pthread_kill(impl_->thread.native_handle(), SIGUSR2);
    impl_->thread.join();
  }
  pthread_sigmask(SIG_SETMASK, &impl_->previous, nullptr);
}

}  // namespace t42rm::cli
