// t42rm-sim: plays the T42RM on one end of a serial line for one upgrade.
// First stdout line: "port: PATH" (the end the client opens); last: the
// verdict. Exit 0 on a positive verdict, 1 otherwise, 2 on usage errors.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>

#include "common/clock.h"
#include "platform/serial_device.h"
#include "sim/device_simulator.h"

namespace {

using t42rm::sim::SimResult;

int Ms(double seconds) { return seconds < 0 ? -1 : static_cast<int>(std::lround(seconds * 1000)); }

// Ctrl-C and SIGTERM cancel the conversation; the signals are taken by a
// thread of their own so that the simulator is cancelled outside a handler.
class SignalWatcher {
 public:
  SignalWatcher() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  }
  ~SignalWatcher() { Stop(); }

  void Start(t42rm::sim::DeviceSimulator& sim) {
    thread_ = std::thread([this, &sim] {
      const timespec slice{0, 100'000'000};
      while (!stop_.load()) {
        const int sig = sigtimedwait(&set_, nullptr, &slice);
        if (sig > 0) {
          caught_.store(sig);
          sim.Cancel();
        }
      }
    });
  }
  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  int caught() const { return caught_.load(); }

 private:
  sigset_t set_;
  std::atomic<bool> stop_{false};
  std::atomic<int> caught_{0};
  std::thread thread_;
};

int Finish(SimResult& r) {
  std::cout << r.Summary() << std::endl;
  return r.ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  SignalWatcher signals;  // before any thread exists, so every thread blocks them

  CLI::App app{"Plays the T42RM device for one upgrade on a pseudo-terminal (default) or a serial port."};
  std::string port, save;
  t42rm::UpgradeMode mode = 0;
  bool query = false, bootStart = false, verbose = false, resume = false;
  double timeoutS = 60, replyTimeoutS = 10, silenceS = -1;
  int repeatBlock = -1, corruptBlock = -1, corruptTimes = 1;
  int garbage = 2, badEndMark = 2, split = 2, twoInOne = 2, unknownCode = 2, purgeErrors = 2;
  int restartAfter = -1, silentAfter = -1, hangUpAfter = -1, slowLine = 0;

  app.add_option("--port", port, "Serial device to open instead of a new pseudo-terminal")
      ->type_name("PATH");
  app.add_option("--save", save, "Write the received CRC region to FILE")->type_name("FILE");
  app.add_option("--mode", mode, "Refuse a start frame of another mode")
      ->transform(CLI::CheckedTransformer(
          std::map<std::string, int>{{"firmware", t42rm::kModeFirmware},
                                     {"boot", t42rm::kModeBootAndFirmware},
                                     {"module", t42rm::kModeModule},
                                     {"channel", t42rm::kModeChannel}},
          CLI::ignore_case));
  app.add_flag("--query", query, "Send DevUpgradeQuery before the start answer");
  app.add_flag("--boot-start", bootStart, "Send DevBootStart before the start answer");
  app.add_option("--timeout", timeoutS, "Seconds to wait for the start frame (default 60)")
      ->check(CLI::PositiveNumber);
  app.add_option("--reply-timeout", replyTimeoutS, "Seconds to wait for each answer (default 10)")
      ->check(CLI::PositiveNumber);
  app.add_option("--repeat-block", repeatBlock, "Ask for block K once more (pretend a CRC mismatch)")
      ->check(CLI::NonNegativeNumber);
  auto* corrupt = app.add_option("--corrupt-block", corruptBlock, "Pretend block K fails its CRC")
                      ->check(CLI::NonNegativeNumber);
  app.add_option("--corrupt-times", corruptTimes, "... N times in a row (default 1)")
      ->check(CLI::PositiveNumber)
      ->needs(corrupt);

  // Frame faults take the device frame number, counted from 1 (default 2:
  // the first DevNextBlock, or the DevCrcRequest of a one-block image).
  auto* garbageOpt = app.add_flag("--garbage{2}", garbage, "Garbage bytes before frame N (--garbage=N)");
  auto* badEndOpt = app.add_option("--bad-end-mark", badEndMark, "A frame with a wrong end mark before frame N")
                        ->check(CLI::PositiveNumber);
  auto* splitOpt = app.add_flag("--split{2}", split, "Frame N in two writes, 5 + 7 bytes 30 ms apart");
  auto* twoOpt = app.add_flag("--two-in-one{2}", twoInOne, "A DevUpgradeQuery and frame N in one write");
  auto* unknownOpt = app.add_flag("--unknown-code{2}", unknownCode, "A frame of code 0x1002 before frame N");
  auto* purgeOpt = app.add_flag("--purge-errors{2}", purgeErrors, "Eleven unknown-code frames before frame N");
  app.add_option("--restart-after", restartAfter, "Send the start answer again after block K")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--silent-after", silentAfter, "Stop answering after block K")->check(CLI::NonNegativeNumber);
  app.add_option("--silence", silenceS, "How long --silent-after stays silent, seconds (default: until stopped)")
      ->check(CLI::PositiveNumber);
  app.add_flag("--resume-after-silence", resume, "Go on with the upgrade once the silence is over");
  app.add_option("--hangup-after", hangUpAfter, "Close the line after block K")->check(CLI::NonNegativeNumber);
  app.add_option("--slow-line", slowLine, "Write device bytes one at a time, MS apart")
      ->check(CLI::PositiveNumber);
  app.add_flag("--verbose", verbose, "Progress lines on stderr");
  app.footer(
      "Frames count the device's own frames from 1 in the order sent (DevUpgradeQuery, DevBootStart,\n"
      "the start answer, each DevNextBlock, DevCrcRequest); frame faults default to frame 2. Blocks\n"
      "count from 0, the mode's first block. A fault that never gets its frame or block fails the run.\n"
      "Prints 'port: PATH' first and a verdict line last. Exit: 0 positive verdict, 1 negative, 2 usage.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }

  t42rm::sim::SimulatorOptions o;
  o.expectedMode = mode;
  o.startTimeoutMs = Ms(timeoutS);
  o.replyTimeoutMs = Ms(replyTimeoutS);
  o.sendUpgradeQuery = query;
  o.sendBootStart = bootStart;
  if (repeatBlock >= 0) o.repeatBlocks[repeatBlock] += 1;
  if (corruptBlock >= 0) o.repeatBlocks[corruptBlock] += corruptTimes;
  auto frameFault = [](CLI::Option* opt, int n, std::optional<int>& out) {
    if (opt->count() == 0) return true;
    out = n;
    return n >= 1;
  };
  if (!(frameFault(garbageOpt, garbage, o.garbageBeforeFrame) &&
        frameFault(badEndOpt, badEndMark, o.badEndMarkBeforeFrame) &&
        frameFault(splitOpt, split, o.splitFrame) && frameFault(twoOpt, twoInOne, o.twoInOneFrame) &&
        frameFault(unknownOpt, unknownCode, o.unknownCodeBeforeFrame) &&
        frameFault(purgeOpt, purgeErrors, o.purgeErrorsBeforeFrame))) {
    std::cerr << "frame numbers count from 1\n";
    return 2;
  }
  if (restartAfter >= 0) o.restartAfterBlock = restartAfter;
  if (silentAfter >= 0) o.silentAfterBlock = silentAfter;
  if (hangUpAfter >= 0) o.hangUpAfterBlock = hangUpAfter;
  o.silenceMs = Ms(silenceS);
  o.resumeAfterSilence = resume;
  o.slowLineGapMs = slowLine;
  if (verbose)
    o.onProgress = [](std::string_view line) { std::cerr << "t42rm-sim: " << line << std::endl; };

  SimResult failure;
  std::unique_ptr<t42rm::SerialDevice> line;
  t42rm::PseudoTerminal pair;
  std::string path = port;
  if (port.empty()) {
    t42rm::OsError error;
    if (!t42rm::OpenPseudoTerminal(pair, error)) {
      failure.message = "cannot open a pseudo-terminal: " + error.Describe();
      return Finish(failure);
    }
    line = std::move(pair.master);
    path = pair.slavePath;
    // From the client's first byte on, its close must reach us as a hang-up.
    o.onClientActive = [&pair] { pair.slaveKeeper.reset(); };
  } else {
    line = t42rm::CreatePlatformSerialDevice();
    if (!line->Open(port)) {
      failure.message = "cannot open " + port + ": " + line->LastError().Describe();
      return Finish(failure);
    }
    if (!line->ApplySettings(t42rm::LineSettings{})) {  // 115200 8N1 raw
      failure.message = "cannot configure " + port + ": " + line->LastError().Describe();
      return Finish(failure);
    }
  }
  std::cout << "port: " << path << std::endl;

  t42rm::sim::DeviceSimulator sim(*line, t42rm::MonotonicClock(), std::move(o));
  signals.Start(sim);
  SimResult r = sim.Run();
  signals.Stop();
  if (line->IsOpen()) line->Close();
  if (const int sig = signals.caught(); sig && !r.ok)
    r.message += std::string(" (") + (sig == SIGINT ? "SIGINT" : "SIGTERM") + ")";

  if (!save.empty() && r.regionComplete) {
    std::ofstream out(save, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(r.region.data()), static_cast<std::streamsize>(r.region.size()));
    out.close();
    if (!out) {
      r.ok = false;
      r.message = "cannot write " + save + ": " + std::strerror(errno);
    }
  } else if (!save.empty()) {
    std::cerr << "t42rm-sim: nothing saved to " << save << ": the region was not received whole\n";
  }
  return Finish(r);
}
