// Fuzz target: the receive path. An arbitrary byte stream, cut into hand-offs
// whose lengths the input itself picks (up to 4097 bytes, as the pump can hold,
// and now and then a longer direct call), goes to OnReceive of a client with an
// active transfer and a staged image.
//
// Input: one byte picks the start answer that stages the image; then records
// of a length and that many bytes:
//   b < 0x80          a hand-off of b bytes
//   0x80 <= b < 0xF8  a hand-off of ((b & 0x7F) << 8 | next) % 4098 bytes
//   b >= 0xF8         a direct call of 4098 + next16 bytes (up to 69633), the
//                     next (b - 0xF7) * 64 input bytes repeated to fill it
// Once the image CRC has ended the transfer, one more hand-off must be dropped
// unread; then the transfer is started again.
#include <algorithm>
#include <filesystem>

#include "tests/fuzz/fuzz_client.h"

namespace t42rm::fuzz {
namespace {

constexpr uint32_t kPumpCapacity = 4097;

struct Fixture {
  std::filesystem::path image;
  int32_t size = 0;
};

// A valid Upb image with a blank second block, so every mode streams data
// blocks and NON_DATA blocks, and the firmware modes pass their stored CRC.
const Fixture& TheImage() {
  static const Fixture fixture = [] {
    Bytes payload(3 * kBlockSize + 1000);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 7 + (i >> 8));
    std::fill(payload.begin() + kBlockSize, payload.begin() + 2 * kBlockSize, 0xFF);
    Bytes file(kQlbHeaderSize, 0x42);
    file.insert(file.end(), payload.begin(), payload.end());
    const uint32_t crc = RefCrc32(file.data(), file.size());
    for (int k = 0; k < 4; ++k) file.push_back(uint8_t(crc >> (8 * k)));
    Fixture f;
    f.image = ScratchFolder() / "receive_path.qlb";
    f.size = static_cast<int32_t>(file.size());
    WriteFile(f.image, file);
    return f;
  }();
  return fixture;
}

// What one call may leave on the wire: at most one answer, and only of the
// kinds the dispatcher sends.
void CheckAnswer(FuzzClient& fc, const std::vector<WireFrame>& frames, int32_t offsetBefore) {
  cSerialClient1& c = *fc.client;
  FUZZ_CHECK(frames.size() <= 1, std::to_string(frames.size()) + " answers to one hand-off");
  if (frames.empty()) {
    FUZZ_CHECK(g_nBlockOffset == offsetBefore,
               "offset moved from " + std::to_string(offsetBefore) + " to " +
                   std::to_string(g_nBlockOffset) + " without a block");
    return;
  }
  const WireFrame& f = frames[0];
  switch (f.code) {
    case kCodeUpgrade:
      FUZZ_CHECK(f.status == 0 && f.w3 == 0 && f.w4 == 0, "UPGRADE " + Hex(f.bytes));
      break;
    case kCodeBUpgradeStart:
      FUZZ_CHECK(f.status == 0 && (uint32_t(f.w4) << 16 | f.w3) == uint32_t(fc.owner.m_job.nFileSize),
                 "B_UPGRADE_START " + Hex(f.bytes));
      break;
    case kCodeImageCrc:
      FUZZ_CHECK(f.status == 0 && (uint32_t(f.w3) << 16 | f.w4) == g_dwImageCrc,
                 "ImageCrc " + Hex(f.bytes));
      FUZZ_CHECK(!c.m_bTransferActive && g_nBlockOffset == 0, "ImageCrc did not end the transfer");
      break;
    case kCodeBlockHeader: {
      // The block just sent lies right below the offset now due.
      FUZZ_CHECK(g_pImage != nullptr, "block sent with nothing staged");
      const int64_t at = int64_t(g_nBlockOffset) - kBlockSize;
      FUZZ_CHECK(at >= 0 && at + kBlockSize <= int64_t(g_nImageLen),
                 "block at " + std::to_string(at) + " of " + std::to_string(g_nImageLen));
      const uint8_t* block = g_pImage.get() + at;
      if (f.blank) {
        FUZZ_CHECK(AllFF(block, kBlockSize), "NON_DATA for a block with data at " + std::to_string(at));
      } else {
        FUZZ_CHECK(std::memcmp(f.data.data(), block, kBlockSize) == 0,
                   "block data differs from the staging buffer at " + std::to_string(at));
      }
      break;
    }
    default:
      Fail(__FILE__, __LINE__, "unexpected frame from the dispatcher", Hex(f.bytes));
  }
}

void OneHandOff(FuzzClient& fc, const Bytes& bytes) {
  cSerialClient1& c = *fc.client;
  const bool activeBefore = c.m_bTransferActive;
  const int32_t lenBefore = c.m_nRecvLen;
  const int32_t offsetBefore = g_nBlockOffset;
  // A buffer of exactly the hand-off's size: a read past it is caught.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
  if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
  const int result = c.OnReceive(copy.get(), static_cast<uint32_t>(bytes.size()));

  FUZZ_CHECK(result == 0 || result == -1, "result " + std::to_string(result));
  FUZZ_CHECK(c.m_nRecvLen >= 0 && c.m_nRecvLen <= cSerialClient1::kRecvBufSize,
             "m_nRecvLen " + std::to_string(c.m_nRecvLen));
  FUZZ_CHECK(g_nHeaderState == 0 || g_nHeaderState == 1, "g_nHeaderState " + std::to_string(g_nHeaderState));
  FUZZ_CHECK(g_nBlockOffset >= 0 && g_nBlockOffset % kBlockSize == 0,
             "g_nBlockOffset " + std::to_string(g_nBlockOffset));
  FUZZ_CHECK(g_nImageLen % kBlockSize == 0 && (g_pImage != nullptr || g_nImageLen == 0),
             "staging length " + std::to_string(g_nImageLen));
  FUZZ_CHECK(g_pImage == nullptr || g_nBlockOffset <= int64_t(g_nImageLen),
             "offset " + std::to_string(g_nBlockOffset) + " beyond the buffer");
  const auto writes = fc.TakeWrites();
  if (!activeBefore) {
    FUZZ_CHECK(result == 0 && writes.empty() && c.m_nRecvLen == lenBefore,
               "input while no transfer is active was not dropped");
    return;
  }
  CheckAnswer(fc, ParseWire(writes), offsetBefore);
}

}  // namespace
}  // namespace t42rm::fuzz

using namespace t42rm;
using namespace t42rm::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Fixture& image = TheImage();
  InputReader in(data, size);
  FuzzClient fc;
  static constexpr uint16_t kStartAnswers[4] = {kCodeResUpgradeB, kCodeResUpgradeF,
                                                kCodeResUpgradeModule, kCodeResUpgradeChannel};
  static constexpr UpgradeMode kModes[4] = {kModeBootAndFirmware, kModeFirmware, kModeModule,
                                            kModeChannel};
  const uint8_t pick = in.Byte() & 3;
  fc.owner.m_job.nMode = kModes[pick];
  fc.owner.m_job.szFullPath = image.image.string();
  fc.owner.m_job.szFileName = image.image.filename().string();
  fc.owner.m_job.nFileSize = image.size;
  fc.client->m_bTransferActive = true;

  // Stage the image: the start answer must bring the first block.
  OneHandOff(fc, DeviceFrame(kStartAnswers[pick]));
  FUZZ_CHECK(g_pImage != nullptr && g_nBlockOffset > 0, "the fixture image was not staged");

  while (!in.Empty()) {
    const uint8_t b = in.Byte();
    Bytes chunk;
    if (b < 0x80) {
      chunk = in.Take(b);
    } else if (b < 0xF8) {
      chunk = in.Take(((b & 0x7F) << 8 | in.Byte()) % (kPumpCapacity + 1));
    } else {
      const size_t length = kPumpCapacity + 1 + in.U16();
      const Bytes source = in.Take(size_t(b - 0xF7) * 64);
      chunk.resize(length, kFrameStartByte);
      for (size_t i = 0; !source.empty() && i < length; ++i) chunk[i] = source[i % source.size()];
    }
    const bool wasActive = fc.client->m_bTransferActive;
    OneHandOff(fc, chunk);
    if (!wasActive) {
      // The user starts the next transfer: one start frame of the job's mode.
      FUZZ_CHECK(fc.client->StartTransfer() == StartOutcome::kStarted, "StartTransfer");
      const auto frames = ParseWire(fc.TakeWrites());
      FUZZ_CHECK(frames.size() == 1 && frames[0].bytes.size() == 24, "start frame");
      FUZZ_CHECK(frames[0].bytes == StartFrame(kStartAnswers[pick] - 1, uint32_t(image.size)),
                 "start frame " + Hex(frames[0].bytes));
    }
  }
  return 0;
}
