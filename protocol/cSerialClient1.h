// The T42RM upgrade protocol client: builds and sends every frame, assembles
// and dispatches the device's frames, stages the image and streams it in 8 KiB
// blocks, and offers the chunked upload and auxiliary requests.
//
// Threads: every operation runs on the user thread (the thread that owns the
// client), including OnReceive, which the receive pump hands over from the
// reader thread synchronously. Nothing here takes a lock.
//
// Results follow the device protocol's conventions: sending operations return
// 0 when the frame was handed to the port and -1 when the port is not open;
// OnReceive returns 0 or -1; nothing throws.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "common/log_sink.h"
#include "common/upgrade_types.h"
#include "protocol/transfer_observer.h"
#include "serial/receive_pump.h"
#include "serial/sock_rs232c1.h"

namespace t42rm {

// The owner of a client (the main dialog, or a command-line session): holds the
// job that the client reads when the device answers.
class ClientOwner {
 public:
  UpgradeJob m_job;
  // Repeats of a chunk that ResUpgradeB sends before it gives up on one.
  int32_t m_nRepeatLimit = 3;

 protected:
  ~ClientOwner() = default;
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using ImageFile = std::unique_ptr<std::FILE, FileCloser>;

class cSerialClient1 : public sock_rs232c1, public ReceivePumpTarget {
 public:
  static constexpr int kRecvBufSize = 40961;
  static constexpr int kScratchSize = 2048;
  static constexpr int kPurgeAfterErrors = 10;
  static constexpr int kLogLineSize = 520;
  static constexpr int kHandoffBufSize = 8192;
  static constexpr int kSendPauseMs = 10;
  static constexpr int kBlockHeaderPauseMs = 20;
  static constexpr int kBlockWritePauseMs = 140;
  static constexpr int kChunkBufSize = 1025;

  explicit cSerialClient1(std::unique_ptr<SerialDevice> device = nullptr, Clock* clock = nullptr);
  ~cSerialClient1() override;

  // --- Sinks and seams (none by default: nothing is logged or observed) ---
  void SetLogSink(LogSink* sink) { m_logSink = sink; }
  void SetTraceSink(DebugSink* sink) { m_traceSink = sink; SetDebugSink(sink); }
  void SetObserver(TransferObserver* observer) { m_observer = observer; }
  void SetExecutor(UserThreadExecutor* executor) { m_executor = executor; }

  // --- Log (writes nothing unless a sink is installed) ---
  void WriteLog(int level, const char* text);
  int LogDeviceError(int level, int code, int status);

  // --- Frames ---
  static void MakeHeader(uint16_t code, uint16_t status, uint16_t length, FrameHeader& header);
  int SendBytes(const uint8_t* bytes, int32_t count);
  int Send(int level, const char* label, int code, int status, int length, int trailer);
  int ex_Send(int level, const char* label, int code, int status, int value3, int value4);
  int ReqUpgradeB(const uint8_t* data, int32_t count, int32_t chunkIndex);
  int ReqUpgradeF(const uint8_t* data, int32_t count, int32_t chunkIndex);
  int ReqReadData(const uint8_t* data, int32_t count, int32_t chunkIndex);
  int ReqWriteData(const uint8_t* data, int32_t count, int32_t chunkIndex);
  int ReqUpgradeModule(const uint8_t* data, int32_t count, int32_t chunkIndex);
  int ReqUpgradeChannel(const uint8_t* data, int32_t count, int32_t chunkIndex);
  int ReqIndexData(const uint8_t* data, int32_t count, int32_t index);
  int ReqRebooting();
  int ReqPauseData();
  int ReqInitData();

  // --- Receive and dispatch ---
  int OnReceive(const uint8_t* bytes, uint32_t count);
  int CheckHeader(int32_t* state, FrameHeader* header);
  void CloseImageFile();

  // --- Staging and streaming (entered from OnReceive) ---
  int StageImage(UpgradeMode mode, uint16_t status);
  int SendNextBlock(uint16_t status);
  int DevCrcRequest();
  int WriteBlock(const uint8_t* block);
  static int IsBlankBlock(const uint8_t* bytes);

  // --- Transfer start (the dialog's Upgrade, the command line's flash) ---
  // Proves the job's image can be opened, sets m_bTransferActive and sends the
  // start frame of m_job.nMode with m_job.nFileSize.
  StartOutcome StartTransfer();

  // --- Link ---
  int OpenLink(PortSettings settings, const std::string& name);
  int CloseLink();
  // Hand-off handler: copies the bytes held and passes them to OnReceive.
  int OnSerialFrame(uintptr_t wParam, intptr_t lParam) override;
  // The device disappeared; logs at level 0 and tells the observer.
  void OnDeviceLost(const OsError& error) override;

  // --- Chunked upload and auxiliary answers (not routed by OnReceive) ---
  // header: all six words in host order. frame: the frame's bytes, header
  // first; only ResConnection reads it, header.wLength bytes from offset 12.
  // frameLen is the number of bytes at frame: a body longer than the frame
  // holds is refused. The short form assumes a whole frame (header and a
  // 52-byte body).
  int ResConnection(const FrameHeader& header, const uint8_t* frame);
  int ResConnection(const FrameHeader& header, const uint8_t* frame, size_t frameLen);
  int ResRebooting(const FrameHeader& header, const uint8_t* frame);
  int ResUpgradeB(const FrameHeader& header, const uint8_t* frame);
  int ResUpgradeF(const FrameHeader& header, const uint8_t* frame);
  int ResUpgradeModule(const FrameHeader& header, const uint8_t* frame);
  int ResUpgradeChannel(const FrameHeader& header, const uint8_t* frame);
  int ResReadData(const FrameHeader& header, const uint8_t* frame);
  int ResWriteData(const FrameHeader& header, const uint8_t* frame);
  int ResIndexData(const FrameHeader& header, const uint8_t* frame);
  int ResPauseData(const FrameHeader& header, const uint8_t* frame);
  int ResInitData(const FrameHeader& header, const uint8_t* frame);

  // Fields, in the order the protocol's description gives them.
  ClientOwner* m_pOwner = nullptr;
  ImageFile m_pImageFile;
  std::array<uint8_t, kRecvBufSize> m_RecvBuf{};
  int32_t m_nRecvLen = 0;
  int32_t m_nErrCount = 0;
  std::string m_szOpenedPort;
  std::array<uint8_t, kChunkBufSize> m_ChunkBuf{};
  uint32_t m_nChunkBytes = 0;
  int32_t m_nChunkIndex = 0;
  int32_t m_nRepeatCount = 0;
  // Index the chunk in m_ChunkBuf was first sent with (-1: none), so a repeat
  // carries the same index as the original.
  int32_t m_nChunkSentIndex = -1;
  bool m_bLinkReady = false;
  bool m_bTransferActive = false;

 protected:
  void Trace(std::string_view text) const;
  TransferObserver* Observer() const { return m_observer; }

 private:
  int SendStartOrChunk(uint16_t code, const char* name, const uint8_t* data, int32_t count,
                       int32_t chunkIndex);
  int ChunkedUpload(const FrameHeader& header, const char* traceName, UpgradeMode mode,
                    int (cSerialClient1::*chunkOp)(const uint8_t*, int32_t, int32_t),
                    uint16_t endCode, const char* endLabel, bool limitRepeats);
  int AfterChunkRead(UpgradeMode mode,
                     int (cSerialClient1::*chunkOp)(const uint8_t*, int32_t, int32_t),
                     uint16_t endCode, const char* endLabel);
  int PacketCodeError(const FrameHeader& header);
  void RejectImage(RejectReason reason, uint32_t stored, uint32_t computed, const char* detail);

  LogSink* m_logSink = nullptr;
  DebugSink* m_traceSink = nullptr;
  TransferObserver* m_observer = nullptr;
  UserThreadExecutor* m_executor = nullptr;
  std::unique_ptr<ReceivePump> m_pump;
};

}  // namespace t42rm
