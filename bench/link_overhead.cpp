// Host overhead of the link: time from the device's request to the last byte of
// the block it asked for, less the protocol's fixed pauses, and the client's CPU
// while idle and while streaming. Runs the client against a minimal device loop
// on a pseudo-terminal.
//
//   bench_link_overhead [data-blocks=10] [blank-blocks=40] [idle-seconds=5]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "common/byte_order.h"
#include "platform/cpu_time.h"
#include "protocol/cSerialClient1.h"
#include "serial/event_loop.h"

using namespace t42rm;
using namespace std::chrono;
using Bytes = std::vector<uint8_t>;

namespace {

// The fixed part of a request-to-block round trip: the client's 10 ms pause
// after its previous write, the reader's 50 ms settle, then for a data block
// 10 ms after the header, 20 ms, and seven times 140 + 10 ms between writes.
constexpr double kMandatedDataMs = 10 + 50 + 10 + 20 + 7 * (140 + 10);
constexpr double kMandatedBlankMs = 10 + 50;

class BenchClient : public cSerialClient1, public ClientOwner {
 public:
  BenchClient() { m_pOwner = this; }
  ~BenchClient() override { CloseLink(); }
};

Bytes DeviceFrame(uint16_t code, uint16_t status = 0) {
  Bytes f(kHeaderSize, 0);
  f[0] = kFrameStartByte;
  put_be16(&f[2], code);
  put_be16(&f[4], status);
  f[10] = 0xC5;
  f[11] = 0x8D;
  return f;
}

bool ReadExactly(SerialDevice& d, uint8_t* out, size_t n, steady_clock::time_point* last) {
  size_t got = 0;
  while (got < n) {
    if (d.WaitForInput(5000) != WaitResult::kReady) return false;
    const long r = d.Read(out + got, n - got);
    if (r < 0) return false;
    got += static_cast<size_t>(r);
    *last = steady_clock::now();
  }
  return true;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int dataBlocks = argc > 1 ? std::atoi(argv[1]) : 10;
  const int blankBlocks = argc > 2 ? std::atoi(argv[2]) : 40;
  const int idleSeconds = argc > 3 ? std::atoi(argv[3]) : 5;

  PseudoTerminal pty;
  OsError err;
  if (!OpenPseudoTerminal(pty, err)) {
    std::fprintf(stderr, "pty: %s\n", err.Describe().c_str());
    return 1;
  }
  // Image: data blocks first, then blank ones (channel data, streamed as is).
  Bytes image(static_cast<size_t>(dataBlocks + blankBlocks) * kBlockSize, 0xFF);
  for (size_t i = 0; i < static_cast<size_t>(dataBlocks) * kBlockSize; ++i)
    image[i] = static_cast<uint8_t>(i * 31 + 7);
  const auto path = std::filesystem::temp_directory_path() / "t42rm-bench.qlu";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));

  EventLoop loop;
  BenchClient client;
  client.SetExecutor(&loop);
  client.m_job = {kModeChannel, path.string(), path.filename().string(),
                  static_cast<int32_t>(image.size())};
  std::thread user([&] {
    if (!client.OpenLink(PortSettings{}, pty.slavePath)) {
      std::fprintf(stderr, "cannot open %s\n", pty.slavePath.c_str());
      std::exit(1);
    }
    loop.Run();
    client.CloseLink();
  });
  SerialDevice& dev = *pty.master;

  auto idleCpu = [&](const char* when) {
    const double cpu0 = ProcessCpuSeconds() - ThreadCpuSeconds();
    std::this_thread::sleep_for(seconds(idleSeconds));
    const double cpu = ProcessCpuSeconds() - ThreadCpuSeconds() - cpu0;
    std::printf("client CPU while connected and idle (%s): %.4f %% of a core\n", when,
                100.0 * cpu / idleSeconds);
  };
  std::this_thread::sleep_for(milliseconds(200));
  idleCpu("before any frame");

  loop.Post([&] { client.StartTransfer(); });
  uint8_t start[24];
  steady_clock::time_point last;
  if (!ReadExactly(dev, start, sizeof start, &last)) return 1;

  std::vector<double> dataOver, blankOver;
  const double devCpu0 = ThreadCpuSeconds();
  const double cpu0 = ProcessCpuSeconds();
  const auto wall0 = steady_clock::now();
  Bytes block(kBlockSize);
  for (int b = 0; b < dataBlocks + blankBlocks; ++b) {
    const Bytes req = b == 0 ? DeviceFrame(kCodeResUpgradeChannel) : DeviceFrame(kCodeDevNextBlock);
    const auto t0 = steady_clock::now();
    dev.Write(req.data(), req.size(), 1000);
    uint8_t header[kHeaderSize];
    if (!ReadExactly(dev, header, sizeof header, &last)) {
      std::fprintf(stderr, "no block header for block %d\n", b);
      return 1;
    }
    const bool blank = header[4] == 1;
    if (!blank && !ReadExactly(dev, block.data(), block.size(), &last)) {
      std::fprintf(stderr, "short block %d\n", b);
      return 1;
    }
    const double ms = duration<double, std::milli>(last - t0).count();
    (blank ? blankOver : dataOver).push_back(ms - (blank ? kMandatedBlankMs : kMandatedDataMs));
  }
  const double wall = duration<double>(steady_clock::now() - wall0).count();
  const double clientCpu = (ProcessCpuSeconds() - cpu0) - (ThreadCpuSeconds() - devCpu0);
  const Bytes crcReq = DeviceFrame(kCodeDevCrcRequest);
  dev.Write(crcReq.data(), crcReq.size(), 1000);
  uint8_t crc[kHeaderSize];
  ReadExactly(dev, crc, sizeof crc, &last);

  std::printf("data blocks: %zu, host overhead median %.3f ms, max %.3f ms (target <= 1 ms)\n",
              dataOver.size(), Median(dataOver),
              dataOver.empty() ? 0 : *std::max_element(dataOver.begin(), dataOver.end()));
  std::printf("blank blocks: %zu, host overhead median %.3f ms, max %.3f ms (target <= 0.5 ms)\n",
              blankOver.size(), Median(blankOver),
              blankOver.empty() ? 0 : *std::max_element(blankOver.begin(), blankOver.end()));
  // What the OS's sleeps alone overshoot for the same sequence of pauses: the
  // part of the overhead that no code of ours can remove without shortening a
  // mandated pause.
  std::vector<double> sleepOver;
  for (int i = 0; i < 5; ++i) {
    const int seq[] = {10, 50, 10, 20, 140, 10, 140, 10, 140, 10, 140, 10, 140, 10, 140, 10, 140, 10};
    const auto s0 = steady_clock::now();
    for (int ms : seq) MonotonicClock().SleepMs(ms);
    sleepOver.push_back(duration<double, std::milli>(steady_clock::now() - s0).count() -
                        kMandatedDataMs);
  }
  std::printf("OS sleep overshoot for the same pauses: median %.3f ms per data block\n",
              Median(sleepOver));
  std::printf("client CPU during the transfer: %.3f %% of a core over %.1f s (target <= 1 %%)\n",
              100.0 * clientCpu / wall, wall);
  idleCpu("after a transfer");

  loop.Quit();
  user.join();
  std::filesystem::remove(path);
  return 0;
}
