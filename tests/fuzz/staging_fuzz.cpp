// Fuzz target: image staging and block streaming. An arbitrary image file
// (any size; with or without a valid Upb trailer, blank blocks) and a job size
// that may or may not match it, then an arbitrary sequence of device frames:
// next block, repeat (192), CRC request, the four start answers, the two
// queries, unknown codes, and between them a new transfer start, a new job
// size, or the file removed, truncated or restored.
//
// The oracle is a model written from the protocol's rules (with the client's
// deliberate refusals: sizes out of range, short files, nothing staged, nothing
// past the buffer): after every frame the exact writes, the result, the block
// offset, the image CRC and the staging buffer must match it.
//
// Input: job mode byte (% 6, so 0 and 5 are bad modes), file length (16 bits),
// flags, seed length and seed bytes, size kind (and its bytes), then one op
// byte per step (its low 4 bits pick the op, see the switch at the end).
#include <algorithm>
#include <filesystem>
#include <optional>

#include "tests/fuzz/fuzz_client.h"

namespace t42rm::fuzz {
namespace {

constexpr uint32_t kBig = kFirmwareFirstOffset - 0x2000;  // puts data round the firmware's first block

struct Expect {
  int result = 0;
  std::vector<Bytes> writes;
};

// What the client reported to its observer during one frame.
struct Events : TransferObserver {
  struct Block {
    uint32_t offset;
    bool blank, repeat;
    uint32_t crc;
  };
  void OnImageStaged(const StagedImage& image) override { staged.push_back(image); }
  void OnBlockSent(uint32_t offset, uint32_t, bool blank, bool repeat, uint32_t crc) override {
    blocks.push_back({offset, blank, repeat, crc});
  }
  std::vector<StagedImage> staged;
  std::vector<Block> blocks;
};

// The client as the protocol's rules describe it.
struct Model {
  bool active = true;
  bool prepared = false;  // the last frame staged an image ready to stream
  std::optional<Bytes> image;  // the staging buffer
  uint32_t crc = 0;
  int64_t offset = 0;

  static uint32_t RoundUp(uint32_t n) { return (n + kBlockSize - 1) / kBlockSize * kBlockSize; }

  Expect NextBlock(uint16_t status) {
    Expect e;
    if (status == kStatusRepeat) offset = std::max<int64_t>(0, offset - kBlockSize);
    if (!image || offset + kBlockSize > int64_t(image->size())) {
      e.result = -1;
      return e;
    }
    const uint8_t* block = image->data() + offset;
    if (AllFF(block, kBlockSize)) {
      e.writes.push_back(ClientHeader(kCodeBlockHeader, 1, 0, 0));
    } else {
      const uint32_t c = RefCrc32(block, kBlockSize);
      e.writes.push_back(ClientHeader(kCodeBlockHeader, 0, uint16_t(c >> 16), uint16_t(c)));
      for (int k = 0; k < kBlockWrites; ++k)
        e.writes.emplace_back(block + k * kBlockWriteSize, block + (k + 1) * kBlockWriteSize);
    }
    offset += kBlockSize;
    return e;
  }

  Expect Stage(UpgradeMode mode, uint16_t status, int32_t jobSize, const std::optional<Bytes>& file) {
    prepared = false;
    const bool firmware = mode == kModeFirmware || mode == kModeBootAndFirmware;
    if (jobSize < 0 || jobSize > kMaxImageSize || (firmware && jobSize < kQlbOverhead)) {
      image.reset();
      offset = 0;
      return {-1, {}};
    }
    const uint32_t size = uint32_t(jobSize);
    uint32_t len = RoundUp(size);
    if (mode == kModeFirmware) len = std::max(len, kFirmwareFirstOffset + kFirmwareCrcLength);
    if (mode == kModeModule) len = std::max(len, kModuleCrcLength);
    if (!file) {
      image.reset();  // nothing staged; offset and CRC keep their values
      return {-1, {}};
    }
    if (file->size() < size) {
      image.reset();
      offset = 0;
      return {-1, {}};
    }
    Bytes buf(len, 0);
    std::copy_n(file->begin(), size, buf.begin());
    offset = 0;
    if (firmware) {
      crc = RefCrc32(buf.data(), size - kQlbTrailerSize);
      if (crc != Le32(&buf[size - kQlbTrailerSize])) {
        image = std::move(buf);  // the raw file stays staged, nothing is sent
        return {0, {}};
      }
      Bytes prepared(len, 0);
      std::copy(file->begin() + kQlbHeaderSize, file->begin() + (size - kQlbTrailerSize), prepared.begin());
      std::fill_n(prepared.begin() + (size - kQlbOverhead), kQlbOverhead, 0xFF);
      buf = std::move(prepared);
      if (mode == kModeBootAndFirmware) {
        crc = RefCrc32(buf.data(), size);
      } else {
        offset = kFirmwareFirstOffset;
        crc = RefCrc32(buf.data() + kFirmwareFirstOffset, kFirmwareCrcLength);
      }
    } else {
      crc = RefCrc32(buf.data(), mode == kModeModule ? kModuleCrcLength : size);
    }
    image = std::move(buf);
    prepared = true;
    return NextBlock(status);
  }

  Expect Frame(uint16_t code, uint16_t status, const UpgradeJob& job, const std::optional<Bytes>& file) {
    prepared = false;
    if (!active) return {};
    switch (code) {
      case kCodeDevUpgradeQuery: return {0, {ClientHeader(kCodeUpgrade, 0, 0, 0)}};
      case kCodeDevBootStart: {
        const uint32_t size = uint32_t(job.nFileSize);
        return {0, {ClientHeader(kCodeBUpgradeStart, 0, uint16_t(size), uint16_t(size >> 16))}};
      }
      case kCodeResUpgradeB: return Stage(kModeBootAndFirmware, status, job.nFileSize, file);
      case kCodeResUpgradeF: return Stage(kModeFirmware, status, job.nFileSize, file);
      case kCodeResUpgradeModule: return Stage(kModeModule, status, job.nFileSize, file);
      case kCodeResUpgradeChannel: return Stage(kModeChannel, status, job.nFileSize, file);
      case kCodeDevNextBlock: return NextBlock(status);
      case kCodeDevCrcRequest:
        offset = 0;
        active = false;
        return {0, {ClientHeader(kCodeImageCrc, 0, uint16_t(crc >> 16), uint16_t(crc))}};
      default: return {-1, {}};
    }
  }
};

struct Run {
  Run() { fc.client->SetObserver(&events); }

  FuzzClient fc;
  Events events;
  Model model;
  std::filesystem::path path = ScratchFolder() / "staging.bin";
  Bytes content;               // the image as chosen
  std::optional<Bytes> file;   // what is on disk now (none: removed)

  void SetFile(std::optional<Bytes> bytes) {
    file = std::move(bytes);
    std::error_code ignored;
    if (file) {
      WriteFile(path, *file);
    } else {
      std::filesystem::remove(path, ignored);
    }
  }

  void CheckState(const char* what, bool compareImage) {
    cSerialClient1& c = *fc.client;
    const std::string step = what;
    FUZZ_CHECK(c.m_bTransferActive == model.active, step + ": transfer active");
    FUZZ_CHECK(g_nBlockOffset == model.offset,
               step + ": offset " + std::to_string(g_nBlockOffset) + ", model " + std::to_string(model.offset));
    FUZZ_CHECK(g_nBlockOffset % kBlockSize == 0, step + ": offset not on a block");
    FUZZ_CHECK(g_dwImageCrc == model.crc, step + ": image CRC " + std::to_string(g_dwImageCrc) +
                                              ", model " + std::to_string(model.crc));
    FUZZ_CHECK(!c.m_pImageFile, step + ": the image file was left open");
    FUZZ_CHECK((g_pImage != nullptr) == model.image.has_value(), step + ": staged or not");
    if (!model.image) return;
    FUZZ_CHECK(g_nImageLen == model.image->size(),
               step + ": buffer " + std::to_string(g_nImageLen) + ", model " + std::to_string(model.image->size()));
    if (compareImage && g_nImageLen > 0)
      FUZZ_CHECK(std::memcmp(g_pImage.get(), model.image->data(), g_nImageLen) == 0, step + ": buffer contents");
  }

  void Deliver(uint16_t code, uint16_t status) {
    const Expect want = model.Frame(code, status, fc.owner.m_job, file);
    events = Events{};
    const Bytes frame = DeviceFrame(code, status);
    const int got = fc.client->OnReceive(frame.data(), uint32_t(frame.size()));
    const auto writes = fc.TakeWrites();
    ParseWire(writes);
    char step[64];
    std::snprintf(step, sizeof step, "frame 0x%04x status %u", code, status);
    FUZZ_CHECK(got == want.result, std::string(step) + ": result " + std::to_string(got) +
                                       ", model " + std::to_string(want.result));
    FUZZ_CHECK(writes.size() == want.writes.size(), std::string(step) + ": " + std::to_string(writes.size()) +
                                                        " writes, model " + std::to_string(want.writes.size()));
    for (size_t i = 0; i < writes.size(); ++i)
      FUZZ_CHECK(writes[i] == want.writes[i], std::string(step) + ": write " + std::to_string(i) + " " +
                                                  Hex(writes[i].data(), std::min<size_t>(16, writes[i].size())) +
                                                  " model " + Hex(want.writes[i].data(), std::min<size_t>(16, want.writes[i].size())));
    FUZZ_CHECK(fc.client->m_nRecvLen == 0, std::string(step) + ": a whole frame left bytes held");
    const bool staged = code == kCodeResUpgradeB || code == kCodeResUpgradeF ||
                        code == kCodeResUpgradeModule || code == kCodeResUpgradeChannel;
    CheckState(step, staged);
    CheckEvents(step, want, status);
  }

  // The observer hears of each staging and each block as the wire shows them.
  void CheckEvents(const std::string& step, const Expect& want, uint16_t status) {
    FUZZ_CHECK(events.staged.size() == (model.prepared ? 1u : 0u), step + ": staging events");
    if (model.prepared) {
      const StagedImage& s = events.staged[0];
      FUZZ_CHECK(s.bufferLength == model.image->size() && s.imageCrc == model.crc &&
                     s.size == uint32_t(fc.owner.m_job.nFileSize),
                 step + ": staging event " + std::to_string(s.bufferLength) + "/" + std::to_string(s.imageCrc));
    }
    const bool block = !want.writes.empty() && want.writes[0].size() == size_t(kHeaderSize) &&
                       Le16(&want.writes[0][2]) == kCodeBlockHeader;
    FUZZ_CHECK(events.blocks.size() == (block ? 1u : 0u), step + ": block events");
    if (!block) return;
    const Events::Block& b = events.blocks[0];
    const Bytes& h = want.writes[0];
    FUZZ_CHECK(int64_t(b.offset) == model.offset - kBlockSize && b.blank == (Le16(&h[4]) == 1) &&
                   b.repeat == (status == kStatusRepeat) &&
                   (b.blank || b.crc == (uint32_t(Le16(&h[6])) << 16 | Le16(&h[8]))),
               step + ": block event at " + std::to_string(b.offset));
  }

  void StartTransfer() {
    const StartOutcome got = fc.client->StartTransfer();
    const auto writes = fc.TakeWrites();
    ParseWire(writes);
    const UpgradeJob& job = fc.owner.m_job;
    if (!file) {
      FUZZ_CHECK(got == StartOutcome::kUnreadable && writes.empty(), "start with the file gone");
      return;
    }
    model.active = true;  // set before the start frame is built, bad mode or not
    static constexpr uint16_t kStartCodes[4] = {kCodeReqUpgradeF, kCodeReqUpgradeB, kCodeReqUpgradeModule,
                                                kCodeReqUpgradeChannel};
    if (job.nMode < kModeFirmware || job.nMode > kModeChannel) {
      FUZZ_CHECK(got == StartOutcome::kBadMode && writes.empty(), "start in a bad mode");
    } else {
      FUZZ_CHECK(got == StartOutcome::kStarted && writes.size() == 1 &&
                     writes[0] == StartFrame(kStartCodes[job.nMode - 1], uint32_t(job.nFileSize)),
                 "start frame");
    }
    CheckState("start", false);
  }
};

int32_t JobSize(InputReader& in, size_t fileSize) {
  const int32_t exact = int32_t(fileSize);
  switch (in.Byte() & 7) {
    case 4: return exact + int8_t(in.Byte());
    case 5: return int32_t(in.U32());
    case 6: return -1 - int32_t(in.U16());
    case 7: return exact + int16_t(in.U16());
    default: return exact;
  }
}

Bytes MakeImage(InputReader& in) {
  size_t length = in.U16();
  const uint8_t flags = in.Byte();
  const bool big = flags & 0x01;
  if (big) length += kBig;
  const Bytes seed = in.Take(in.Byte());
  Bytes image(length);
  for (size_t i = 0; i < length; ++i)
    image[i] = seed.empty() ? uint8_t(i ^ (i >> 8) ^ (i >> 16)) : uint8_t(seed[i % seed.size()] ^ (i >> 10));
  if (flags & 0x0C) {
    // A blank block, at a raw offset (bit 2) or where the header strip puts
    // a block boundary (bit 3).
    const size_t from = (big ? kFirmwareFirstOffset : 0) + size_t((flags >> 4) & 7) * kBlockSize +
                        ((flags & 0x08) ? kQlbHeaderSize : 0);
    for (size_t i = from; i < from + kBlockSize && i < length; ++i) image[i] = 0xFF;
  }
  if ((flags & 0x02) && length >= size_t(kQlbTrailerSize)) {
    const uint32_t crc = RefCrc32(image.data(), length - kQlbTrailerSize);
    for (int k = 0; k < 4; ++k) image[length - kQlbTrailerSize + k] = uint8_t(crc >> (8 * k));
  }
  return image;
}

}  // namespace
}  // namespace t42rm::fuzz

using namespace t42rm;
using namespace t42rm::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  Run run;
  UpgradeJob& job = run.fc.owner.m_job;
  job.nMode = in.Byte() % 6;
  run.content = MakeImage(in);
  job.nFileSize = JobSize(in, run.content.size());
  job.szFullPath = run.path.string();
  job.szFileName = run.path.filename().string();
  run.SetFile(run.content);
  run.fc.client->m_bTransferActive = true;

  static constexpr uint16_t kStartAnswers[4] = {kCodeResUpgradeB, kCodeResUpgradeF, kCodeResUpgradeModule,
                                                kCodeResUpgradeChannel};
  while (!in.Empty()) {
    const uint8_t op = in.Byte();
    switch (op & 0x0F) {
      case 0: case 1: case 2: run.Deliver(kCodeDevNextBlock, 0); break;
      case 3: run.Deliver(kCodeDevNextBlock, kStatusRepeat); break;
      case 4: run.Deliver(kCodeDevNextBlock, in.U16()); break;
      case 5: run.Deliver(kCodeDevCrcRequest, 0); break;
      case 6: case 7: case 8: case 9: {
        const uint16_t status = (op & 0x80) ? kStatusRepeat : (op & 0x40) ? in.U16() : 0;
        run.Deliver(kStartAnswers[(op & 0x0F) - 6], status);
        break;
      }
      case 10: run.Deliver(kCodeDevUpgradeQuery, 0); break;
      case 11: run.Deliver(kCodeDevBootStart, 0); break;
      case 12: {
        const uint16_t code = in.U16();
        run.Deliver(code, in.U16());
        break;
      }
      case 13: run.StartTransfer(); break;
      case 14: job.nFileSize = JobSize(in, run.content.size()); break;
      default: {
        switch (in.Byte() & 3) {
          case 0: run.SetFile(std::nullopt); break;
          case 1: run.SetFile(run.content); break;
          case 2: {
            const size_t keep = run.content.empty() ? 0 : in.U16() % run.content.size();
            run.SetFile(Bytes(run.content.begin(), run.content.begin() + keep));
            break;
          }
          default: {
            Bytes longer = run.content;
            longer.resize(longer.size() + 1 + in.Byte(), 0x5A);
            run.SetFile(longer);
            break;
          }
        }
      }
    }
  }
  return 0;
}
