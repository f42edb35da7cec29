#include "cli/demo.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "cli/exit_status.h"
#include "cli/flash_session.h"
#include "cli/image_mode.h"
#include "cli/json_line.h"
#include "common/base_global.h"
#include "common/byte_order.h"
#include "common/clock.h"
#include "platform/serial_device.h"
#include "protocol/image_check.h"
#include "sim/device_simulator.h"

namespace fs = std::filesystem;

namespace t42rm::cli {
namespace {

// Streamed blocks with data, by mode (the rest are blank): the first ones, one
// in the middle and the last, which carries the end of the image.
struct SampleLayout {
  uint32_t streamBytes;  // of the staged image from the first block on
  std::vector<uint32_t> dataBlocks;
};

SampleLayout LayoutOf(UpgradeMode mode) {
  switch (mode) {
    case kModeFirmware:
      return {kFirmwareCrcLength, {0, 1, 96, kFirmwareCrcLength / kBlockSize - 1}};
    case kModeBootAndFirmware:
      return {6 * kBlockSize, {0, 1, 3}};
    case kModeModule:
      return {kModuleCrcLength, {0, 1, kModuleCrcLength / kBlockSize - 1}};
    default:
      return {5 * kBlockSize, {0, 1, 4}};
  }
}

// Text the device could show; never a run of 0xFF.
void FillBlock(uint8_t* block, uint32_t index) {
  char text[64];
  const int n = std::snprintf(text, sizeof text, "T42RM sample image, block %u. ", index);
  for (int i = 0; i < kBlockSize; ++i) block[i] = static_cast<uint8_t>(text[i % n]);
}

class TempFolder {
 public:
  bool Create(std::string& error) {
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) {
      error = ec.message();
      return false;
    }
    std::random_device rd;
    for (int attempt = 0; attempt < 20; ++attempt) {
      fs::path p = base / ("t42rm-demo-" + std::to_string(rd() % 1000000));
      if (fs::create_directory(p, ec)) {
        path_ = p;
        return true;
      }
    }
    error = "cannot create a folder in " + base.string() + (ec ? ": " + ec.message() : "");
    return false;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

}  // namespace

std::vector<uint8_t> MakeSampleImage(UpgradeMode mode) {
  const SampleLayout layout = LayoutOf(mode);
  const bool firmware = mode == kModeFirmware || mode == kModeBootAndFirmware;
  const uint32_t first = mode == kModeFirmware ? kFirmwareFirstOffset : 0;
  // The staged image: what the device receives, from offset 0.
  std::vector<uint8_t> staged(first + layout.streamBytes, 0xFF);
  for (const uint32_t index : layout.dataBlocks)
    FillBlock(staged.data() + first + index * kBlockSize, index);
  if (!firmware) return staged;

  // A firmware file is header + payload + CRC-32 trailer, and staging puts
  // 0xFF where header and trailer were: the payload is the staged image but
  // its last 68 bytes.
  const size_t size = staged.size();
  std::vector<uint8_t> file(size);
  const char header[] = "T42RM sample firmware";
  std::memset(file.data(), 0, kQlbHeaderSize);
  std::memcpy(file.data(), header, sizeof header);
  std::memcpy(file.data() + kQlbHeaderSize, staged.data(), size - kQlbOverhead);
  put_le32(file.data() + size - kQlbTrailerSize, Crc32(file.data(), size - kQlbTrailerSize));
  return file;
}

int RunDemo(const DemoOptions& o, const Console& console, const std::function<int()>& interrupted) {
  const auto started = std::chrono::steady_clock::now();
  std::unique_ptr<ProgressView> view = MakeView(o.view, console);
  auto fail = [&](int status, const std::string& message) {
    view->End({status, "demo: " + message, 0, 0}, nullptr);
    return status;
  };

  TempFolder folder;
  std::string error;
  if (!folder.Create(error)) return fail(kExitUsage, "no temporary folder: " + error);
  const fs::path image = folder.path() / (std::string("sample") + ExtensionOfMode(o.mode));
  {
    const std::vector<uint8_t> bytes = MakeSampleImage(o.mode);
    std::ofstream out(image, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) return fail(kExitUsage, "cannot write " + image.string());
  }
  const ImageReport plan = InspectImage(image.string(), o.mode);

  PseudoTerminal pty;
  OsError ptyError;
  if (!OpenPseudoTerminal(pty, ptyError))
    return fail(kExitPortFailed, "cannot open a pseudo-terminal: " + ptyError.Describe());

  sim::SimulatorOptions simOptions;
  simOptions.expectedMode = o.mode;
  // From the client's first byte on, its close must reach the device as a hang-up.
  std::shared_ptr<void> keeper = std::move(pty.slaveKeeper);
  std::atomic<bool> simDone{false};
  simOptions.onClientActive = [&keeper] { keeper.reset(); };
  sim::DeviceSimulator device(*pty.master, MonotonicClock(), std::move(simOptions));
  sim::SimResult verdict;
  std::thread deviceThread([&] {
    verdict = device.Run();
    simDone.store(true);
  });

  const bool human = o.view != ViewKind::kJson;
  if (human) {
    std::fprintf(console.out, "demo: sample %s image %s: %lld bytes, %u blocks, %u with data\n",
                 ModeName(o.mode), image.string().c_str(), static_cast<long long>(plan.size),
                 plan.BlocksToSend(), plan.DataBlocks());
    std::fprintf(console.out, "demo: simulated T42RM on %s\n", pty.slavePath.c_str());
    std::fflush(console.out);
  }

  FlashOptions flash;
  flash.port = pty.slavePath;
  flash.image = image.string();
  flash.mode = o.mode;
  flash.timeoutSeconds = 10;
  flash.trace = o.trace;
  int status = RunFlash(flash, *view, interrupted);

  // After a complete upgrade the simulator gives its verdict on its own.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (status == kExitDone && !simDone.load() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  device.Cancel();
  deviceThread.join();

  if (!human) {
    const JsonLine line =
        JsonLine("simulator_verdict").Bool("ok", verdict.ok).Str("summary", verdict.Summary());
    std::fprintf(console.out, "%s\n", line.Text().c_str());
    std::fflush(console.out);
  } else {
    std::fprintf(console.out, "demo: simulator %s\n", verdict.Summary().c_str());
    std::fprintf(console.out, "demo: %s in %.1f s\n",
                 status == kExitDone && verdict.ok ? "upgrade complete" : "upgrade failed",
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    std::fflush(console.out);
  }
  if (status == kExitDone && !verdict.ok) {
    status = kExitImageRefused;
    std::fprintf(console.err,
                 "t42rm-upgrade: demo: the simulated device did not accept the upgrade: %s\n",
                 verdict.message.c_str());
  }
  return status;
}

}  // namespace t42rm::cli
