// Chunked upload and auxiliary answer handlers. OnReceive does not route device
// frames here: a caller hands each handler a header with all six words in host
// order (marks included) and the frame's bytes, header first. ResConnection
// reads word 3 body bytes from offset 12, so the frame must hold that many.
#include <cstdio>
#include <cstring>

#include "common/byte_order.h"
#include "protocol/cSerialClient1.h"

namespace t42rm {
namespace {

// ConnectionBody layout: start mark, three 16-byte texts, end mark.
constexpr int kConnTextSize = 16;
constexpr int kConnTextOffset = 2;
constexpr int kConnEndMarkOffset = kConnTextOffset + 3 * kConnTextSize;
static_assert(kConnEndMarkOffset + 2 == kConnectionBodySize);

// The header trace every handler writes first; word 4 is not shown.
void HeaderTrace(cSerialClient1& client, const char* name, const FrameHeader& h) {
  char line[cSerialClient1::kLogLineSize];
  std::snprintf(line, sizeof line, "Recv[%s-Header]: 0x%x, 0x%x, 0x%x, 0x%x, 0x%x", name, h.wStart,
                h.wEnd, h.wCode, h.wStatus, h.wLength);
  client.WriteLog(kLogRecv, line);
}

// Mark check of the acting handlers; the code word is never examined.
bool CheckMarks(cSerialClient1& client, const char* name, const FrameHeader& h) {
  if (h.wStart == kStartMark && h.wEnd == kEndMark) return true;
  char line[cSerialClient1::kLogLineSize];
  std::snprintf(line, sizeof line, "Recv[%s-Header]: error", name);
  client.WriteLog(kLogError, line);
  return false;
}

}  // namespace

int cSerialClient1::ResConnection(const FrameHeader& header, const uint8_t* frame) {
  return ResConnection(header, frame, kHeaderSize + kConnectionBodySize);
}

int cSerialClient1::ResConnection(const FrameHeader& header, const uint8_t* frame,
                                  size_t frameLen) {
  static constexpr const char* kName = "ResConnection";
  static constexpr const char* kBodyError = "Recv[ResConnection-Body  ]: error";
  HeaderTrace(*this, kName, header);
  if (!CheckMarks(*this, kName, header)) return -1;
  if (header.wStatus != 0) {
    LogDeviceError(kLogError, header.wCode, header.wStatus);
    return 0;
  }
  // A length beyond the record, or beyond the bytes received, would be read
  // or written past a buffer: refuse the body whole.
  const size_t held = frame && frameLen > kHeaderSize ? frameLen - kHeaderSize : 0;
  if (header.wLength > kConnectionBodySize || header.wLength > held) {
    WriteLog(kLogError, kBodyError);
    return -1;
  }
  std::array<uint8_t, kConnectionBodySize> body{};
  if (frame && header.wLength > 0) std::memcpy(body.data(), frame + kHeaderSize, header.wLength);

  // The device's texts need not end in NUL within their 16 bytes; each is
  // copied out with a terminator of its own so nothing is read past it.
  std::array<std::array<char, kConnTextSize + 1>, 3> texts{};
  for (int i = 0; i < 3; ++i)
    std::memcpy(texts[i].data(), body.data() + kConnTextOffset + i * kConnTextSize, kConnTextSize);
  const uint16_t startMark = get_le16(body.data());
  const uint16_t endMark = get_le16(body.data() + kConnEndMarkOffset);
  char line[kLogLineSize];
  std::snprintf(line, sizeof line, "Recv[ResConnection-Body  ]: 0x%x, 0x%x, %s, %s, %s", startMark,
                endMark, texts[0].data(), texts[1].data(), texts[2].data());
  WriteLog(kLogRecv, line);
  if (startMark != kBodyStartMark || endMark != kBodyEndMark) {
    WriteLog(kLogError, kBodyError);
    return -1;
  }
  return m_bLinkReady ? 0 : -1;
}

int cSerialClient1::ResRebooting(const FrameHeader& header, const uint8_t* /*frame*/) {
  static constexpr const char* kName = "ResRebooting";
  HeaderTrace(*this, kName, header);
  if (!CheckMarks(*this, kName, header)) return -1;
  // A device error here is accepted without a text.
  if (header.wStatus != 0) return 0;
  return m_bLinkReady ? 0 : -1;
}

// The mode each handler sends chunks in, and its chunk operation, do not follow
// the start frames' modes (module answers send 0x1006 chunks in mode 2, channel
// answers 0x1042 chunks in mode 3). Devices rely on this table: keep it.
int cSerialClient1::ResUpgradeB(const FrameHeader& header, const uint8_t* /*frame*/) {
  return ChunkedUpload(header, "ResUpgradeB", kModeBootAndFirmware, &cSerialClient1::ReqUpgradeB,
                       kCodeReqUpgradeB, "ResUpgradeB", true);
}

int cSerialClient1::ResUpgradeF(const FrameHeader& header, const uint8_t* /*frame*/) {
  return ChunkedUpload(header, "ResUpgradeF", kModeFirmware, &cSerialClient1::ReqUpgradeF,
                       kCodeReqUpgradeF, "ResUpgradeF", false);
}

int cSerialClient1::ResUpgradeModule(const FrameHeader& header, const uint8_t* /*frame*/) {
  return ChunkedUpload(header, "ResUpgradeF", kModeBootAndFirmware, &cSerialClient1::ReqUpgradeF,
                       kCodeReqUpgradeF, "ResUpgradeF", false);
}

int cSerialClient1::ResUpgradeChannel(const FrameHeader& header, const uint8_t* /*frame*/) {
  return ChunkedUpload(header, "ResUpgradeF", kModeModule, &cSerialClient1::ReqUpgradeChannel,
                       kCodeReqUpgradeF, "ResUpgradeF", false);
}

int cSerialClient1::ChunkedUpload(const FrameHeader& header, const char* traceName,
                                  UpgradeMode mode,
                                  int (cSerialClient1::*chunkOp)(const uint8_t*, int32_t, int32_t),
                                  uint16_t endCode, const char* endLabel, bool limitRepeats) {
  HeaderTrace(*this, traceName, header);
  if (!CheckMarks(*this, traceName, header)) return -1;

  switch (header.wStatus) {
    case kChunkNext:
      if (!m_pOwner || !m_pImageFile) return -1;
      break;

    case kChunkStartOver: {
      if (!m_pOwner) return -1;
      m_ChunkBuf.fill(0);
      m_nChunkBytes = 0;
      m_nChunkIndex = 0;
      m_nRepeatCount = 0;
      m_nChunkSentIndex = -1;
      CloseImageFile();
      const UpgradeJob& job = m_pOwner->m_job;
      const std::string& path = job.szFullPath.empty() ? job.szFileName : job.szFullPath;
      m_pImageFile.reset(std::fopen(path.c_str(), "rb"));
      if (!m_pImageFile) return -1;
      break;
    }

    case kChunkRepeat: {
      if (!m_pOwner) return -1;
      ++m_nRepeatCount;
      if (m_pOwner->m_job.nMode != mode) return 0;
      // Nothing buffered (no chunk read yet, or the file is done): a chunk of
      // zero bytes would mean nothing to the device.
      if (m_nChunkBytes == 0 || m_nChunkSentIndex < 0) return -1;
      // Only ResUpgradeB gives up: past the limit, drop this repeat and count
      // afresh. The count rises only while repeats fail to go out.
      if (limitRepeats && m_nRepeatCount > m_pOwner->m_nRepeatLimit) {
        m_nRepeatCount = 0;
        return 0;
      }
      // The repeat carries the index the chunk was first sent with, so two
      // different chunks never share an index on the wire.
      if ((this->*chunkOp)(m_ChunkBuf.data(), static_cast<int32_t>(m_nChunkBytes),
                           m_nChunkSentIndex) < 0)
        return -1;
      m_nRepeatCount = 0;
      return 0;
    }

    default:
      return 0;
  }

  m_nChunkBytes = static_cast<uint32_t>(
      std::fread(m_ChunkBuf.data(), 1, kChunkDataSize, m_pImageFile.get()));
  return AfterChunkRead(mode, chunkOp, endCode, endLabel);
}

int cSerialClient1::AfterChunkRead(UpgradeMode mode,
                                   int (cSerialClient1::*chunkOp)(const uint8_t*, int32_t, int32_t),
                                   uint16_t endCode, const char* endLabel) {
  if (m_nChunkBytes == 0) {
    CloseImageFile();
    m_nChunkSentIndex = -1;
    Send(kLogSend, endLabel, endCode, kChunkEnd, 0, 0);  // result deliberately unused
    return 0;
  }
  // The index this chunk goes (or would go) out with; a failed send keeps it.
  m_nChunkSentIndex = m_nChunkIndex;
  if (m_pOwner->m_job.nMode == mode &&
      (this->*chunkOp)(m_ChunkBuf.data(), static_cast<int32_t>(m_nChunkBytes), m_nChunkIndex) < 0)
    return -1;
  // In another mode the file is consumed all the same, chunk by chunk.
  ++m_nChunkIndex;
  return 0;
}

// Answers that are only traced: no mark check, the status is not looked at.
int cSerialClient1::ResReadData(const FrameHeader& header, const uint8_t* /*frame*/) {
  HeaderTrace(*this, "ResReadData", header);
  return 0;
}

int cSerialClient1::ResWriteData(const FrameHeader& header, const uint8_t* /*frame*/) {
  HeaderTrace(*this, "ResWriteData", header);
  return 0;
}

int cSerialClient1::ResIndexData(const FrameHeader& header, const uint8_t* /*frame*/) {
  HeaderTrace(*this, "ResIndexData", header);
  return 0;
}

int cSerialClient1::ResPauseData(const FrameHeader& header, const uint8_t* /*frame*/) {
  HeaderTrace(*this, "ResPauseData", header);
  return 0;
}

int cSerialClient1::ResInitData(const FrameHeader& header, const uint8_t* /*frame*/) {
  HeaderTrace(*this, "ResInitData", header);
  return 0;
}

}  // namespace t42rm
