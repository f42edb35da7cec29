// Types shared by the protocol client, the link and the front ends.
#pragma once

#include <cstdint>
#include <string>

namespace t42rm {

// The four upgrade modes; a plain signed value because the device-facing code
// and the dialog both store it as such (1 at start).
using UpgradeMode = int32_t;
inline constexpr UpgradeMode kModeFirmware = 1;
inline constexpr UpgradeMode kModeBootAndFirmware = 2;
inline constexpr UpgradeMode kModeModule = 3;
inline constexpr UpgradeMode kModeChannel = 4;

// The chosen image. Paths are held whole (no fixed 520-byte field), so a long
// path can neither be cut nor overflow anything. The image is always opened by
// szFullPath; szFileName (the bare name) is for display and logs.
struct UpgradeJob {
  UpgradeMode nMode = kModeFirmware;
  std::string szFullPath;
  std::string szFileName;
  int32_t nFileSize = 0;
};

// Serial line settings handed to OpenLink; only these four are read.
struct PortSettings {
  uint32_t BaudRate = 115200;
  uint8_t ByteSize = 8;
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
};

// One frame header, six 16-bit words in host order.
struct FrameHeader {
  uint16_t wStart = 0;   // word 0, 0xC9FD
  uint16_t wCode = 0;    // word 1
  uint16_t wStatus = 0;  // word 2
  uint16_t wLength = 0;  // word 3
  uint16_t wParam = 0;   // word 4
  uint16_t wEnd = 0;     // word 5, 0xC58D
};

inline constexpr int kHeaderSize = 12;
inline constexpr int kBlockSize = 8192;
inline constexpr int kBlockWriteSize = 1024;
inline constexpr int kBlockWrites = kBlockSize / kBlockWriteSize;
inline constexpr int kChunkDataSize = 1024;
inline constexpr int kStartBodySize = 12;
inline constexpr int kChunkBodySize = 1040;
inline constexpr int kIndexBodySize = 1044;
inline constexpr int kConnectionBodySize = 52;
inline constexpr int kTrailerSize = 2;

inline constexpr uint16_t kStartMark = 0xC9FD;
inline constexpr uint16_t kEndMark = 0xC58D;
inline constexpr uint16_t kBodyStartMark = 0xC5FE;
inline constexpr uint16_t kBodyEndMark = 0xC90D;
inline constexpr uint8_t kFrameStartByte = 0xFD;

// Word 2 of DevNextBlock asking for the previous block again.
inline constexpr uint16_t kStatusRepeat = 192;

// Word 2 of a chunked-upload answer (the step the device asks for), and of the
// client's end-of-upload frame.
inline constexpr uint16_t kChunkNext = 0;
inline constexpr uint16_t kChunkStartOver = 1;
inline constexpr uint16_t kChunkEnd = 2;
inline constexpr uint16_t kChunkRepeat = 3;

// Frame codes, both directions.
enum FrameCode : uint16_t {
  kCodeReqRebooting = 0x1002,
  kCodeUpgrade = 0x1004,  // UPGRADE, ReqUpgradeB, end of a ResUpgradeB upload
  kCodeReqUpgradeB = 0x1004,
  kCodeBUpgradeStart = 0x1006,  // B_UPGRADE_START, ReqUpgradeF, end of other uploads
  kCodeReqUpgradeF = 0x1006,
  kCodeReqReadData = 0x1008,
  kCodeReqWriteData = 0x1010,
  kCodeReqIndexData = 0x1012,
  kCodeReqPauseData = 0x1014,
  kCodeReqInitData = 0x1016,
  kCodeBlockHeader = 0x1020,
  kCodeImageCrc = 0x1023,
  kCodeReqUpgradeModule = 0x1040,
  kCodeReqUpgradeChannel = 0x1042,
  // Device to client.
  kCodeDevUpgradeQuery = 0x1001,
  kCodeResUpgradeB = 0x1005,
  kCodeResUpgradeF = 0x1007,
  kCodeDevBootStart = 0x1011,
  kCodeDevNextBlock = 0x1021,
  kCodeDevCrcRequest = 0x1023,
  kCodeResUpgradeModule = 0x1041,
  kCodeResUpgradeChannel = 0x1043,
};

// Firmware images: a 64-byte header and a 4-byte CRC trailer around the payload.
inline constexpr int kQlbHeaderSize = 64;
inline constexpr int kQlbTrailerSize = 4;
inline constexpr int kQlbOverhead = kQlbHeaderSize + kQlbTrailerSize;
// Firmware mode streams from 128 KiB and covers 1.5 MiB with its CRC.
inline constexpr uint32_t kFirmwareFirstOffset = 0x20000;
inline constexpr uint32_t kFirmwareCrcLength = 0x180000;
// Module mode's CRC covers the first 256 KiB.
inline constexpr uint32_t kModuleCrcLength = 0x40000;
// Largest image the client stages.
inline constexpr int32_t kMaxImageSize = 64 * 1024 * 1024;

// Log levels of WriteLog.
inline constexpr int kLogLink = 0;
inline constexpr int kLogError = 1;
inline constexpr int kLogRecv = 4;
inline constexpr int kLogSend = 5;

const char* ModeName(UpgradeMode mode);  // "firmware", "boot", "module", "channel", "unknown"

}  // namespace t42rm
