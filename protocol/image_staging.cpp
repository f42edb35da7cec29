// Image staging on the device's start answer, and block streaming.
#include <algorithm>
#include <cstring>
#include <new>

#include "common/base_global.h"
#include "common/byte_order.h"
#include "protocol/cSerialClient1.h"
#include "protocol/streaming_state.h"

namespace t42rm {

std::unique_ptr<uint8_t[]> g_pImage;
uint32_t g_nImageLen = 0;
uint32_t g_dwImageCrc = 0;
int32_t g_nBlockOffset = 0;
uint32_t g_nFirstBlockOffset = 0;

void ResetStreamingState() {
  g_nHeaderState = 0;
  g_Scratch.fill(0);
  g_pImage.reset();
  g_nImageLen = 0;
  g_dwImageCrc = 0;
  g_nBlockOffset = 0;
  g_nFirstBlockOffset = 0;
}

const char* RejectReasonText(RejectReason reason) {
  switch (reason) {
    case RejectReason::kStoredCrcMismatch: return "stored CRC-32 does not match the image";
    case RejectReason::kUnreadable: return "image file cannot be opened";
    case RejectReason::kSizeOutOfRange: return "image size out of range";
    case RejectReason::kTooShort: return "firmware image shorter than its header and trailer";
    case RejectReason::kShortRead: return "image file shorter than its recorded size";
    case RejectReason::kNoMemory: return "no memory for the staging buffer";
  }
  return "rejected";
}

namespace {

uint32_t RoundUpToBlock(uint32_t n) {
  return (n + kBlockSize - 1) / kBlockSize * kBlockSize;
}

}  // namespace

void cSerialClient1::RejectImage(RejectReason reason, uint32_t stored, uint32_t computed,
                                 const char* detail) {
  char line[kLogLineSize];
  std::snprintf(line, sizeof line, "StageImage: %s: %s", RejectReasonText(reason), detail);
  WriteLog(kLogError, line);
  if (m_observer) m_observer->OnImageRejected(reason, stored, computed, detail);
}

int cSerialClient1::StageImage(UpgradeMode mode, uint16_t status) {
  if (!m_pOwner) return -1;
  const UpgradeJob& job = m_pOwner->m_job;
  const bool firmware = mode == kModeFirmware || mode == kModeBootAndFirmware;
  const std::string& path = job.szFullPath.empty() ? job.szFileName : job.szFullPath;

  if (job.nFileSize < 0 || job.nFileSize > kMaxImageSize ||
      (firmware && job.nFileSize < kQlbOverhead)) {
    // Nothing is staged: a later block request finds no image and sends nothing.
    g_pImage.reset();
    g_nImageLen = 0;
    g_nBlockOffset = 0;
    char detail[64];
    std::snprintf(detail, sizeof detail, "size %d", job.nFileSize);
    RejectImage(job.nFileSize >= 0 && job.nFileSize < kQlbOverhead && firmware
                    ? RejectReason::kTooShort
                    : RejectReason::kSizeOutOfRange,
                0, 0, detail);
    return -1;
  }
  const uint32_t size = static_cast<uint32_t>(job.nFileSize);

  // The buffer covers whole blocks and every CRC region of the mode; bytes
  // beyond the prepared image are zero, so no request reads outside it.
  uint32_t len = RoundUpToBlock(size);
  uint32_t first = 0;
  if (mode == kModeFirmware) {
    first = kFirmwareFirstOffset;
    len = std::max(len, kFirmwareFirstOffset + kFirmwareCrcLength);
  } else if (mode == kModeModule) {
    len = std::max(len, kModuleCrcLength);
  }
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[len == 0 ? 1 : len]());
  if (!buffer) {
    RejectImage(RejectReason::kNoMemory, 0, 0, path.c_str());
    return -1;
  }
  g_pImage = std::move(buffer);
  g_nImageLen = len;
  uint8_t* image = g_pImage.get();

  CloseImageFile();
  m_pImageFile.reset(std::fopen(path.c_str(), "rb"));
  if (!m_pImageFile) {
    // Nothing staged: a zero-filled buffer must never be streamed as an image.
    g_pImage.reset();
    g_nImageLen = 0;
    RejectImage(RejectReason::kUnreadable, 0, 0, path.c_str());
    return -1;
  }
  const size_t got = size ? std::fread(image, 1, size, m_pImageFile.get()) : 0;
  CloseImageFile();
  g_nBlockOffset = 0;
  if (got != size) {
    // A file that shrank since it was chosen must not go out padded with zeros.
    g_pImage.reset();
    g_nImageLen = 0;
    char detail[96];
    std::snprintf(detail, sizeof detail, "read %zu of %u bytes", got, size);
    RejectImage(RejectReason::kShortRead, 0, 0, detail);
    return -1;
  }

  if (firmware) {
    g_dwImageCrc = Crc32(image, size - kQlbTrailerSize);
    const uint32_t stored = get_le32(image + size - kQlbTrailerSize);
    if (g_dwImageCrc != stored) {
      char detail[96];
      std::snprintf(detail, sizeof detail, "stored %08x, computed %08x", stored, g_dwImageCrc);
      g_nFirstBlockOffset = 0;
      RejectImage(RejectReason::kStoredCrcMismatch, stored, g_dwImageCrc, detail);
      return 0;
    }
    std::memmove(image, image + kQlbHeaderSize, size - kQlbOverhead);
    std::memset(image + size - kQlbOverhead, 0xFF, kQlbOverhead);
    if (mode == kModeBootAndFirmware) {
      g_dwImageCrc = Crc32(image, size);
    } else {
      g_nBlockOffset = static_cast<int32_t>(kFirmwareFirstOffset);
      g_dwImageCrc = Crc32(image + kFirmwareFirstOffset, kFirmwareCrcLength);
    }
  } else {
    g_dwImageCrc = Crc32(image, mode == kModeModule ? kModuleCrcLength : size);
  }
  g_nFirstBlockOffset = first;

  if (m_observer) {
    StagedImage info;
    info.mode = mode;
    info.size = size;
    info.firstOffset = first;
    info.bufferLength = len;
    info.blocksExpected = (len - first) / kBlockSize;
    info.imageCrc = g_dwImageCrc;
    m_observer->OnImageStaged(info);
  }
  return SendNextBlock(status);
}

int cSerialClient1::SendNextBlock(uint16_t status) {
  const bool repeat = status == kStatusRepeat;
  if (repeat) {
    // The block before the one due; below the first byte that is block 0.
    g_nBlockOffset = std::max(0, g_nBlockOffset - kBlockSize);
  }
  if (!g_pImage || g_nBlockOffset < 0 ||
      static_cast<uint64_t>(g_nBlockOffset) + kBlockSize > g_nImageLen) {
    char line[kLogLineSize];
    std::snprintf(line, sizeof line, "SendNextBlock: no block at offset 0x%x (staged %u bytes)",
                  static_cast<unsigned>(g_nBlockOffset), g_pImage ? g_nImageLen : 0u);
    WriteLog(kLogError, line);
    if (m_observer) m_observer->OnProtocolError(line);
    return -1;
  }
  const uint32_t offset = static_cast<uint32_t>(g_nBlockOffset);
  const uint8_t* block = g_pImage.get() + offset;
  const bool blank = IsBlankBlock(block) != 0;
  uint32_t crc = 0;
  if (blank) {
    ex_Send(kLogSend, "NON_DATA", kCodeBlockHeader, 1, 0, 0);
  } else {
    char trace[48];
    std::snprintf(trace, sizeof trace, "%08x, %d \n", offset, static_cast<int>(offset));
    Trace(trace);
    crc = Crc32(block, kBlockSize);
    char label[16];
    std::snprintf(label, sizeof label, "crc=%08x", crc);
    // The CRC goes high half first, the opposite of the size in B_UPGRADE_START.
    ex_Send(kLogSend, label, kCodeBlockHeader, 0, static_cast<int>(crc >> 16),
            static_cast<int>(crc & 0xFFFF));
    GetClock().SleepMs(kBlockHeaderPauseMs);
    WriteBlock(block);
  }
  g_nBlockOffset += kBlockSize;
  if (m_observer) {
    const uint32_t index =
        offset >= g_nFirstBlockOffset ? (offset - g_nFirstBlockOffset) / kBlockSize : 0;
    m_observer->OnBlockSent(offset, index, blank, repeat, crc);
  }
  return 0;
}

int cSerialClient1::DevCrcRequest() {
  g_nBlockOffset = 0;
  ex_Send(kLogSend, "CRC", kCodeImageCrc, 0, static_cast<int>(g_dwImageCrc >> 16),
          static_cast<int>(g_dwImageCrc & 0xFFFF));
  m_bTransferActive = false;
  if (m_observer) m_observer->OnImageCrcSent(g_dwImageCrc);
  return 0;
}

int cSerialClient1::WriteBlock(const uint8_t* block) {
  for (int k = 0; k < kBlockWrites; ++k) {
    if (k > 0) GetClock().SleepMs(kBlockWritePauseMs);
    SendBytes(block + k * kBlockWriteSize, kBlockWriteSize);
  }
  return 1;
}

int cSerialClient1::IsBlankBlock(const uint8_t* bytes) {
  for (int i = 0; i < kBlockSize; ++i)
    if (bytes[i] != 0xFF) return 0;
  return 1;
}

}  // namespace t42rm
