#include "common/clock.h"

#include <thread>

#include "common/upgrade_types.h"

namespace t42rm {
namespace {

class RealClock final : public Clock {
 public:
  TimePoint Now() const override { return std::chrono::steady_clock::now(); }
  void SleepMs(int ms) override {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};

}  // namespace

Clock& MonotonicClock() {
  static RealClock clock;
  return clock;
}

const char* ModeName(UpgradeMode mode) {
  switch (mode) {
    case kModeFirmware: return "firmware";
    case kModeBootAndFirmware: return "boot";
    case kModeModule: return "module";
    case kModeChannel: return "channel";
    default: return "unknown";
  }
}

}  // namespace t42rm
