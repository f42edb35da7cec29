// A protocol client for one fuzz input: the in-memory port (every write
// recorded), virtual time (the block pacing costs nothing) and an owner whose
// job the test sets. The module-level streaming state is reset first, so each
// input runs from program start and replays the same way.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "common/fake_clock.h"
#include "protocol/cSerialClient1.h"
#include "protocol/streaming_state.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/fake_serial_device.h"

namespace t42rm::fuzz {

struct FuzzOwner : ClientOwner {};

struct FuzzClient {
  FuzzClient() {
    ResetStreamingState();
    wire = std::make_shared<testing::FakeSerialDevice::Shared>();
    client = std::make_unique<cSerialClient1>(std::make_unique<testing::FakeSerialDevice>(wire),
                                              &clock);
    FUZZ_CHECK(client->InitPort(nullptr, 4096, 4096) == 1, "InitPort");
    FUZZ_CHECK(client->OpenPort(PortSettings{}, "fuzz") == 1, "OpenPort");
    client->m_pOwner = &owner;
  }
  ~FuzzClient() {
    client.reset();
    ResetStreamingState();  // the staging buffer must not outlive the input
  }
  std::vector<Bytes> TakeWrites() { return wire->TakeWrites(); }

  FakeClock clock;
  std::shared_ptr<testing::FakeSerialDevice::Shared> wire;
  FuzzOwner owner;
  std::unique_ptr<cSerialClient1> client;
};

// A private folder for the image files of this process, removed at exit.
inline const std::filesystem::path& ScratchFolder() {
  // Held through a pointer that is never freed, so the exit handler that
  // removes the folder cannot run after the path was destroyed.
  static const std::filesystem::path* folder = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "t42rm_fuzz_XXXXXX").string();
    FUZZ_CHECK(::mkdtemp(tmpl.data()) != nullptr, "mkdtemp " + tmpl);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(*folder, ignored);
    });
    return new std::filesystem::path(tmpl);
  }();
  return *folder;
}

inline void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr, "cannot write " + path.string());
  if (!bytes.empty()) FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size(), path.string());
  std::fclose(f);
}

}  // namespace t42rm::fuzz
