// Frame building and sending: header-only, short, start/chunk and index frames.
#include <cstring>
#include <vector>

#include "common/base_global.h"
#include "common/byte_order.h"
#include "protocol/cSerialClient1.h"

namespace t42rm {
namespace {

// Client headers go out little-endian, start mark first.
void EncodeHeader(const FrameHeader& h, uint8_t* out) {
  put_le16(out + 0, h.wStart);
  put_le16(out + 2, h.wCode);
  put_le16(out + 4, h.wStatus);
  put_le16(out + 6, h.wLength);
  put_le16(out + 8, h.wParam);
  put_le16(out + 10, h.wEnd);
}

}  // namespace

void cSerialClient1::WriteLog(int level, const char* text) {
  if (m_logSink) m_logSink->WriteLine(level, text);
}

void cSerialClient1::Trace(std::string_view text) const {
  if (m_traceSink) m_traceSink->Trace(text);
}

int cSerialClient1::LogDeviceError(int level, int /*code*/, int status) {
  const char* text = nullptr;
  switch (status & 0xFFFF) {
    case 0x50: text = "0x50: etc error."; break;
    case 0x100: text = "0x100: connection error."; break;
    case 0x110: text = "0x110: rebooting error."; break;
    case 0x120: text = "0x120: boot loader upgrade error."; break;
    case 0x121: text = "0x121: firmware upgrade error."; break;
    case 0x130: text = "0x130: read data error."; break;
    case 0x140: text = "0x140: write data error."; break;
    case 0x150: text = "0x150: index data error."; break;
    case 0x160: text = "0x160: pause data error."; break;
    case 0x161: text = "0x161: init data error."; break;
    default: break;
  }
  if (text) WriteLog(level, text);
  return 0;
}

void cSerialClient1::MakeHeader(uint16_t code, uint16_t status, uint16_t length,
                                FrameHeader& header) {
  header.wStart = kStartMark;
  header.wCode = code;
  header.wStatus = status;
  header.wLength = length;
  header.wEnd = kEndMark;
}

int cSerialClient1::SendBytes(const uint8_t* bytes, int32_t count) {
  if (!IsOpen()) {
    WriteLog(kLogLink, "Port not open.");
    if (m_observer) m_observer->OnPortNotOpen();
    return -1;
  }
  if (count > 0) {
    WritePort(bytes, count);  // a failed write is not reported to the protocol
    GetClock().SleepMs(kSendPauseMs);
  }
  return 0;
}

int cSerialClient1::ex_Send(int level, const char* label, int code, int status, int value3,
                            int value4) {
  FrameHeader h{};
  h.wStart = kStartMark;
  h.wEnd = kEndMark;
  h.wCode = static_cast<uint16_t>(code);
  h.wStatus = static_cast<uint16_t>(status);
  h.wLength = static_cast<uint16_t>(value3);
  h.wParam = static_cast<uint16_t>(value4);
  std::array<uint8_t, kHeaderSize> bytes{};
  EncodeHeader(h, bytes.data());
  if (SendBytes(bytes.data(), kHeaderSize) != 0) return -1;
  char line[kLogLineSize];
  std::snprintf(line, sizeof line, "ex_Send[%s]: 0x%x, 0x%x, 0x%x, 0x%x, 0x%x = 0x%x", label,
                h.wStart, h.wEnd, h.wCode, h.wStatus, h.wLength, h.wParam);
  WriteLog(level, line);
  return 0;
}

int cSerialClient1::Send(int level, const char* label, int code, int status, int length,
                         int trailer) {
  FrameHeader h{};
  MakeHeader(static_cast<uint16_t>(code), static_cast<uint16_t>(status),
             static_cast<uint16_t>(length), h);
  std::array<uint8_t, kHeaderSize + kTrailerSize> bytes{};
  EncodeHeader(h, bytes.data());
  const uint16_t trailerValue = static_cast<uint16_t>(trailer);
  put_le16(bytes.data() + kHeaderSize, trailerValue);
  if (SendBytes(bytes.data(), static_cast<int32_t>(bytes.size())) != 0) return -1;
  char line[kLogLineSize];
  std::snprintf(line, sizeof line, "Send[%s]: 0x%x, 0x%x, 0x%x, 0x%x, 0x%x = 0x%x", label,
                h.wStart, h.wEnd, h.wCode, h.wStatus, h.wLength, trailerValue);
  WriteLog(level, line);
  return 0;
}

int cSerialClient1::SendStartOrChunk(uint16_t code, const char* name, const uint8_t* data,
                                     int32_t count, int32_t chunkIndex) {
  const bool start = chunkIndex == -1;
  const int bodySize = start ? kStartBodySize : kChunkBodySize;
  std::array<uint8_t, kHeaderSize + kChunkBodySize> frame{};
  uint8_t* body = frame.data() + kHeaderSize;
  uint32_t crc = 0;
  put_le16(body, kBodyStartMark);
  if (start) {
    // Bytes 2-3 lie between the mark and the size and carry no value: zero.
    put_le32(body + 4, static_cast<uint32_t>(count));
    put_le16(body + 8, kBodyEndMark);
  } else {
    // Chunks carry at most one chunk of data; a larger count is cut so that
    // nothing is read or written past either buffer.
    const uint32_t n = static_cast<uint32_t>(
        count < 0 ? 0 : (count > kChunkDataSize ? kChunkDataSize : count));
    put_le16(body + 2, static_cast<uint16_t>(chunkIndex));
    put_le16(body + 4, static_cast<uint16_t>(count));
    crc = Crc32(data, data ? n : 0);
    put_le32(body + 8, crc);
    if (data && n) std::memcpy(body + 12, data, n);
    put_le16(body + 1038, kBodyEndMark);
  }
  FrameHeader h{};
  MakeHeader(code, start ? 1 : 0, static_cast<uint16_t>(bodySize), h);
  EncodeHeader(h, frame.data());
  if (SendBytes(frame.data(), kHeaderSize + bodySize) != 0) return -1;

  char line[kLogLineSize];
  if (start) {
    std::snprintf(line, sizeof line, "Send[%s:%d]: 0x%x, 0x%x, 0x%x, 0x%x, 0x%x = 0x%x, 0x%x, %d",
                  name, chunkIndex, h.wStart, h.wEnd, h.wCode, h.wStatus, h.wLength,
                  get_le16(body), get_le16(body + 8), static_cast<int32_t>(get_le32(body + 4)));
  } else {
    std::snprintf(line, sizeof line,
                  "Send[%s:%d]: 0x%x, 0x%x, 0x%x, 0x%x, 0x%x = 0x%x, 0x%x, %d, %d, %d", name,
                  chunkIndex, h.wStart, h.wEnd, h.wCode, h.wStatus, h.wLength, get_le16(body),
                  get_le16(body + 1038), get_le16(body + 2),
                  static_cast<int16_t>(get_le16(body + 4)), static_cast<int32_t>(crc));
  }
  WriteLog(kLogSend, line);
  return 0;
}

int cSerialClient1::ReqUpgradeB(const uint8_t* data, int32_t count, int32_t chunkIndex) {
  return SendStartOrChunk(kCodeReqUpgradeB, "ReqUpgradeB", data, count, chunkIndex);
}
int cSerialClient1::ReqUpgradeF(const uint8_t* data, int32_t count, int32_t chunkIndex) {
  return SendStartOrChunk(kCodeReqUpgradeF, "ReqUpgradeF", data, count, chunkIndex);
}
int cSerialClient1::ReqReadData(const uint8_t* data, int32_t count, int32_t chunkIndex) {
  return SendStartOrChunk(kCodeReqReadData, "ReqReadData", data, count, chunkIndex);
}
int cSerialClient1::ReqWriteData(const uint8_t* data, int32_t count, int32_t chunkIndex) {
  return SendStartOrChunk(kCodeReqWriteData, "ReqWriteData", data, count, chunkIndex);
}
int cSerialClient1::ReqUpgradeModule(const uint8_t* data, int32_t count, int32_t chunkIndex) {
  return SendStartOrChunk(kCodeReqUpgradeModule, "ReqUpgradeF", data, count, chunkIndex);
}
int cSerialClient1::ReqUpgradeChannel(const uint8_t* data, int32_t count, int32_t chunkIndex) {
  return SendStartOrChunk(kCodeReqUpgradeChannel, "ReqUpgradeF", data, count, chunkIndex);
}

int cSerialClient1::ReqIndexData(const uint8_t* data, int32_t count, int32_t index) {
  std::array<uint8_t, kHeaderSize + kIndexBodySize> frame{};
  uint8_t* body = frame.data() + kHeaderSize;
  const uint32_t n = static_cast<uint32_t>(
      count < 0 ? 0 : (count > kChunkDataSize ? kChunkDataSize : count));
  const uint32_t crc = Crc32(data, data ? n : 0);
  put_le16(body, kBodyStartMark);  // bytes 2-3 carry no value: zero
  put_le32(body + 4, static_cast<uint32_t>(index));
  put_le32(body + 8, static_cast<uint32_t>(count));
  put_le32(body + 12, crc);
  if (data && n) std::memcpy(body + 16, data, n);
  put_le16(body + 1042, kBodyEndMark);
  FrameHeader h{};
  MakeHeader(kCodeReqIndexData, 0, kIndexBodySize, h);
  EncodeHeader(h, frame.data());
  if (SendBytes(frame.data(), static_cast<int32_t>(frame.size())) != 0) return -1;
  char line[kLogLineSize];
  std::snprintf(line, sizeof line,
                "Send[ReqIndexData]: 0x%x, 0x%x, 0x%x, 0x%x, 0x%x = 0x%x, 0x%x, %d, %d, %d",
                h.wStart, h.wEnd, h.wCode, h.wStatus, h.wLength, get_le16(body),
                get_le16(body + 1042), index, count, static_cast<int32_t>(crc));
  WriteLog(kLogSend, line);
  return 0;
}

int cSerialClient1::ReqRebooting() {
  return Send(kLogSend, "ReqRebooting", kCodeReqRebooting, 0, 0, 0);
}
int cSerialClient1::ReqPauseData() {
  return Send(kLogSend, "ReqPauseData", kCodeReqPauseData, 0, 0, 0);
}
int cSerialClient1::ReqInitData() {
  return Send(kLogSend, "ReqInitData", kCodeReqInitData, 0, 0, 0);
}

}  // namespace t42rm
