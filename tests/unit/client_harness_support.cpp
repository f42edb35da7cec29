#include "tests/unit/client_harness.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <ostream>

#include "protocol/streaming_state.h"

namespace t42rm::unit {
namespace {

uint32_t ReflectedStep(uint32_t reg) {
  for (int bit = 0; bit < 8; ++bit) reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
  return reg;
}

uint32_t ReferenceUpdate(uint32_t reg, uint8_t byte) { return ReflectedStep(reg ^ byte); }

}  // namespace

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Filled(size_t count, uint8_t value) { return Bytes(count, value); }

Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

Bytes PositionPattern(size_t count) {
  Bytes out(count);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>((i & ~size_t{3}) >> (8 * (i & 3)));
  return out;
}

Bytes DeviceFrame(uint16_t code, uint16_t status, uint16_t word3, uint16_t word4, uint8_t byte1) {
  auto hi = [](uint16_t w) { return static_cast<uint8_t>(w >> 8); };
  auto lo = [](uint16_t w) { return static_cast<uint8_t>(w); };
  return {0xFD,      byte1,     hi(code),  lo(code),  hi(status), lo(status),
          hi(word3), lo(word3), hi(word4), lo(word4), 0xC5,       0x8D};
}

Bytes CrcFrame(uint16_t code, uint32_t crc) {
  auto b = [crc](int shift) { return static_cast<uint8_t>(crc >> shift); };
  return {0xFD, 0xC9, static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8), 0x00, 0x00,
          b(16), b(24), b(0), b(8), 0x8D, 0xC5};
}

Bytes MakeQlb(const Bytes& payload) {
  Bytes file(64);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(0x40 + i);
  file.insert(file.end(), payload.begin(), payload.end());
  const Bytes trailer = Le32(ReferenceCrc32(file));
  file.insert(file.end(), trailer.begin(), trailer.end());
  return file;
}

Bytes BlockAt(const Bytes& image, size_t offset) {
  Bytes block(static_cast<size_t>(kBlockSize), 0);
  for (size_t i = 0; i < block.size() && offset + i < image.size(); ++i) block[i] = image[offset + i];
  return block;
}

uint32_t ReferenceCrc32(const Bytes& data, size_t offset, size_t len) {
  uint32_t reg = 0xFFFFFFFFu;
  for (size_t i = offset; i < offset + len; ++i)
    reg = ReferenceUpdate(reg, i < data.size() ? data[i] : 0);
  return ~reg;
}

Bytes ForceCrc(const Bytes& prefix, uint32_t target) {
  // Four more bytes shift the whole register out, so the final register is
  // fixed by the four table indices alone; the top bytes of the table's entries
  // are unique, which lets the indices be found from the target backwards.
  std::array<uint32_t, 256> table{};
  for (uint32_t j = 0; j < 256; ++j) table[j] = ReflectedStep(j);
  uint32_t want = ~target;
  std::array<uint32_t, 4> index{};
  for (int k = 3; k >= 0; --k) {
    const auto it = std::find_if(table.begin(), table.end(),
                                 [want](uint32_t t) { return (t >> 24) == (want >> 24); });
    index[k] = static_cast<uint32_t>(it - table.begin());
    want = (want ^ *it) << 8;
  }
  uint32_t reg = 0xFFFFFFFFu;
  for (uint8_t b : prefix) reg = ReferenceUpdate(reg, b);
  Bytes tail(4);
  for (int k = 0; k < 4; ++k) {
    tail[k] = static_cast<uint8_t>((reg ^ index[k]) & 0xFF);
    reg = table[index[k]] ^ (reg >> 8);
  }
  return tail;
}

void PrintTo(const LogLine& line, std::ostream* os) { *os << "{" << line.level << ", \"" << line.text << "\"}"; }

std::vector<LogLine> RecordingSinks::At(int level) const {
  std::vector<LogLine> out;
  for (const LogLine& l : lines)
    if (l.level == level) out.push_back(l);
  return out;
}

std::optional<SentBlock> AsBlock(const Exchange& ex) {
  if (ex.writes.empty() || ex.writes[0].size() != static_cast<size_t>(kHeaderSize)) return std::nullopt;
  const Bytes& h = ex.writes[0];
  if (h[2] != 0x20 || h[3] != 0x10) return std::nullopt;
  SentBlock block;
  block.header = h;
  block.blank = h[4] == 0x01;
  if (block.blank) return ex.writes.size() == 1 ? std::optional(block) : std::nullopt;
  if (ex.writes.size() != 1 + static_cast<size_t>(kBlockWrites)) return std::nullopt;
  for (size_t k = 1; k < ex.writes.size(); ++k) {
    if (ex.writes[k].size() != static_cast<size_t>(kBlockWriteSize)) return std::nullopt;
    block.data.insert(block.data.end(), ex.writes[k].begin(), ex.writes[k].end());
  }
  return block;
}

void ClientFixture::SetUp() {
  ResetStreamingState();
  wire = std::make_shared<testing::FakeSerialDevice::Shared>();
  client = std::make_unique<cSerialClient1>(std::make_unique<testing::FakeSerialDevice>(wire), &clock);
  ASSERT_EQ(client->InitPort(nullptr, 4096, 4096), 1);
  ASSERT_EQ(client->OpenPort(PortSettings{}, "fake"), 1);
  client->m_pOwner = &owner;
  client->m_bTransferActive = true;
  client->SetLogSink(&sinks);
  client->SetTraceSink(&sinks);
  client->SetObserver(&observer);
  clock.SetOnSleep([this](int ms) {
    size_t n;
    {
      std::lock_guard lock(wire->mutex);
      n = wire->writes.size();
    }
    for (; writesSeen_ < n; ++writesSeen_) timeline_ += "W ";
    timeline_ += "S" + std::to_string(ms) + " ";
  });

  static int counter = 0;
  folder = std::filesystem::temp_directory_path() /
           ("t42rm_unit_" + std::to_string(::getpid()) + "_" + std::to_string(++counter));
  std::filesystem::create_directories(folder);
}

void ClientFixture::TearDown() {
  clock.SetOnSleep(nullptr);
  client.reset();
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

Exchange ClientFixture::Run(const std::function<int()>& op) {
  wire->TakeWrites();
  timeline_.clear();
  writesSeen_ = 0;
  const long long before = clock.ElapsedMs();
  Exchange ex;
  ex.result = op();
  ex.writes = wire->TakeWrites();
  for (; writesSeen_ < ex.writes.size(); ++writesSeen_) timeline_ += "W ";
  if (!timeline_.empty()) timeline_.pop_back();
  ex.timeline = timeline_;
  ex.elapsedMs = clock.ElapsedMs() - before;
  return ex;
}

Exchange ClientFixture::Deliver(const Bytes& bytes) {
  return Run([&] { return client->OnReceive(bytes.data(), static_cast<uint32_t>(bytes.size())); });
}

std::filesystem::path ClientFixture::WriteImage(const Bytes& bytes, const std::string& name) {
  const std::filesystem::path path = folder / name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  owner.m_job.szFullPath = path.string();
  owner.m_job.szFileName = name;
  owner.m_job.nFileSize = static_cast<int32_t>(bytes.size());
  return path;
}

}  // namespace t42rm::unit
