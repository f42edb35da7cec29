#include <time.h>

#include "platform/cpu_time.h"

namespace t42rm {
namespace {

double Seconds(clockid_t id) {
  timespec ts{};
  if (clock_gettime(id, &ts) != 0) return 0.0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

double ProcessCpuSeconds() { return Seconds(CLOCK_PROCESS_CPUTIME_ID); }
double ThreadCpuSeconds() { return Seconds(CLOCK_THREAD_CPUTIME_ID); }

}  // namespace t42rm
