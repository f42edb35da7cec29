// Fuzz target: the answer handlers of the chunked upload and the auxiliary
// answers (ResConnection, ResRebooting, ResUpgradeB/F/Module/Channel and the
// five trace-only ones) with arbitrary headers, bodies and frame lengths, in
// arbitrary order, over a small image file.
//
// Each frame is a heap buffer of exactly its length, so a read past it is
// caught. ResConnection, the one handler that reads the frame, is given that
// length and must refuse a body longer than the frame.
//
// Input: flags (bit 0 link ready, bit 1 good marks always, bit 2 image file
// present, bit 3 no owner, bits 4-6 job mode), repeat limit, file length, seed;
// then per call: handler (% 12; 11 changes a setting instead: the file, the
// link flag, the mode, the port closed or opened), code, status,
// length, word 4, marks, frame length and the frame's bytes.
#include <algorithm>
#include <filesystem>

#include "tests/fuzz/fuzz_client.h"

namespace t42rm::fuzz {
namespace {

using Handler = int (cSerialClient1::*)(const FrameHeader&, const uint8_t*);

struct HandlerInfo {
  const char* name;
  Handler fn;
  bool traceOnly;
  bool chunked;
  UpgradeMode sendsIn;  // chunked: the mode in which chunks go out
  uint16_t chunkCode;
  uint16_t endCode;
};

const HandlerInfo kHandlers[11] = {
    {"ResConnection", &cSerialClient1::ResConnection, false, false, 0, 0, 0},
    {"ResRebooting", &cSerialClient1::ResRebooting, false, false, 0, 0, 0},
    {"ResUpgradeB", &cSerialClient1::ResUpgradeB, false, true, kModeBootAndFirmware, kCodeReqUpgradeB,
     kCodeReqUpgradeB},
    {"ResUpgradeF", &cSerialClient1::ResUpgradeF, false, true, kModeFirmware, kCodeReqUpgradeF,
     kCodeReqUpgradeF},
    {"ResUpgradeModule", &cSerialClient1::ResUpgradeModule, false, true, kModeBootAndFirmware,
     kCodeReqUpgradeF, kCodeReqUpgradeF},
    {"ResUpgradeChannel", &cSerialClient1::ResUpgradeChannel, false, true, kModeModule,
     kCodeReqUpgradeChannel, kCodeReqUpgradeF},
    {"ResReadData", &cSerialClient1::ResReadData, true, false, 0, 0, 0},
    {"ResWriteData", &cSerialClient1::ResWriteData, true, false, 0, 0, 0},
    {"ResIndexData", &cSerialClient1::ResIndexData, true, false, 0, 0, 0},
    {"ResPauseData", &cSerialClient1::ResPauseData, true, false, 0, 0, 0},
    {"ResInitData", &cSerialClient1::ResInitData, true, false, 0, 0, 0},
};

// A chunk frame: header, then the ChunkBody (marks, index, count, CRC, data).
// Its data are the bytes last read from the file, which end at the file's
// position pos. While no send has failed since the upload began, chunk k also
// lies at k * 1024; a failed send keeps its index for the next bytes read.
void CheckChunk(const HandlerInfo& h, const WireFrame& f, const Bytes& image, size_t pos, bool indexed) {
  const Bytes& b = f.bytes;
  const uint8_t* body = b.data() + kHeaderSize;
  FUZZ_CHECK(f.code == h.chunkCode && f.status == 0 && f.w3 == kChunkBodySize && f.w4 == 0,
             std::string(h.name) + " chunk header " + Hex(b.data(), 12));
  FUZZ_CHECK(Le16(body) == kBodyStartMark && Le16(body + kChunkBodySize - 2) == kBodyEndMark,
             "chunk body marks");
  const size_t index = Le16(body + 2);
  const size_t count = Le16(body + 4);
  FUZZ_CHECK(count >= 1 && count <= size_t(kChunkDataSize) && count <= pos && pos <= image.size(),
             "chunk count " + std::to_string(count) + " at file position " + std::to_string(pos));
  const size_t at = pos - count;
  FUZZ_CHECK(at % kChunkDataSize == 0 && count == std::min<size_t>(kChunkDataSize, image.size() - at),
             "chunk of " + std::to_string(count) + " bytes from " + std::to_string(at) + " in a file of " +
                 std::to_string(image.size()));
  FUZZ_CHECK(!indexed || index * kChunkDataSize == at,
             "chunk " + std::to_string(index) + " carries the bytes from " + std::to_string(at));
  const uint8_t* data = body + 12;
  FUZZ_CHECK(std::equal(data, data + count, image.begin() + long(at)),
             "chunk " + std::to_string(index) + " does not hold the file's bytes there");
  FUZZ_CHECK(std::all_of(data + count, data + kChunkDataSize, [](uint8_t v) { return v == 0; }),
             "bytes behind the chunk's data are not zero");
  FUZZ_CHECK(Le32(body + 8) == RefCrc32(data, count), "chunk CRC");
}

struct Run {
  FuzzClient fc;
  Bytes image;
  bool indexed = true;  // no chunk send has failed since the upload began
  std::filesystem::path path = ScratchFolder() / "chunked.bin";

  void Call(const HandlerInfo& h, const FrameHeader& header, const Bytes& frameBytes) {
    cSerialClient1& c = *fc.client;
    const size_t alloc = frameBytes.size();
    std::unique_ptr<uint8_t[]> frame(new uint8_t[alloc ? alloc : 1]());
    std::copy(frameBytes.begin(), frameBytes.end(), frame.get());

    const bool portOpen = c.IsOpen();
    const bool connection = &h == &kHandlers[0];
    const int result = connection ? c.ResConnection(header, frame.get(), alloc)
                                  : (c.*h.fn)(header, frame.get());
    const auto writes = fc.TakeWrites();
    const auto frames = ParseWire(writes);
    const std::string name = h.name;
    FUZZ_CHECK(result == 0 || result == -1, name + ": result " + std::to_string(result));
    FUZZ_CHECK(c.m_nChunkBytes <= uint32_t(kChunkDataSize) && c.m_nChunkIndex >= 0,
               name + ": chunk state " + std::to_string(c.m_nChunkBytes) + "/" + std::to_string(c.m_nChunkIndex));

    const bool marks = header.wStart == kStartMark && header.wEnd == kEndMark;
    if (h.traceOnly) {
      FUZZ_CHECK(result == 0 && writes.empty(), name + ": a trace-only handler acted");
      return;
    }
    if (!marks) {
      FUZZ_CHECK(result == -1 && writes.empty(), name + ": bad marks accepted");
      return;
    }
    if (!h.chunked) {
      FUZZ_CHECK(writes.empty(), name + " wrote to the port");
      int want = 0;
      if (h.fn == &cSerialClient1::ResRebooting) {
        want = header.wStatus != 0 || c.m_bLinkReady ? 0 : -1;
      } else if (header.wStatus == 0) {
        // The ConnectionBody: word 3 bytes from offset 12, zero beyond.
        Bytes body(kConnectionBodySize, 0);
        for (size_t i = 0; i < header.wLength && i < body.size() && kHeaderSize + i < frameBytes.size(); ++i)
          body[i] = frameBytes[kHeaderSize + i];
        const bool good = header.wLength <= kConnectionBodySize && Le16(&body[0]) == kBodyStartMark &&
                          Le16(&body[kConnectionBodySize - 2]) == kBodyEndMark;
        want = good && c.m_bLinkReady ? 0 : -1;
      }
      FUZZ_CHECK(result == want, name + ": result " + std::to_string(result) + ", expected " + std::to_string(want));
      return;
    }
    const uint16_t s = header.wStatus;
    if (s != kChunkNext && s != kChunkStartOver && s != kChunkRepeat) {
      FUZZ_CHECK(result == 0 && writes.empty(), name + ": status " + std::to_string(s) + " acted");
      return;
    }
    if (!c.m_pOwner) {
      FUZZ_CHECK(result == -1 && writes.empty(), name + " acted without an owner");
      return;
    }
    FUZZ_CHECK(frames.size() <= 1, name + ": several frames for one answer");
    if (s == kChunkStartOver && portOpen) indexed = true;
    if (!portOpen) indexed = false;
    for (const WireFrame& f : frames) {
      if (f.bytes.size() == size_t(kHeaderSize + kChunkBodySize)) {
        FUZZ_CHECK(fc.owner.m_job.nMode == h.sendsIn, name + ": chunk sent in mode " +
                                                          std::to_string(fc.owner.m_job.nMode));
        FUZZ_CHECK(c.m_pImageFile != nullptr, name + ": chunk sent with no file open");
        CheckChunk(h, f, image, size_t(std::ftell(c.m_pImageFile.get())), indexed);
      } else {
        FUZZ_CHECK(f.bytes == [&] {
          Bytes end = ClientHeader(h.endCode, kChunkEnd, 0, 0);
          end.push_back(0);
          end.push_back(0);
          return end;
        }(), name + ": end frame " + Hex(f.bytes));
        FUZZ_CHECK(s != kChunkRepeat && !c.m_pImageFile, name + ": end frame with the file still open");
      }
    }
  }
};

}  // namespace
}  // namespace t42rm::fuzz

using namespace t42rm;
using namespace t42rm::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  Run run;
  cSerialClient1& c = *run.fc.client;
  const uint8_t flags = in.Byte();
  c.m_bLinkReady = flags & 0x01;
  const bool forceMarks = flags & 0x02;
  if (flags & 0x08) c.m_pOwner = nullptr;
  UpgradeJob& job = run.fc.owner.m_job;
  job.nMode = (flags >> 4) & 7;
  run.fc.owner.m_nRepeatLimit = int8_t(in.Byte());
  const size_t length = in.U16() % 6000;
  const uint8_t seed = in.Byte();
  run.image.resize(length);
  for (size_t i = 0; i < length; ++i) run.image[i] = uint8_t(i * 31 + seed + (i >> 10));
  job.szFullPath = run.path.string();
  job.szFileName = run.path.filename().string();
  job.nFileSize = int32_t(length);
  if (flags & 0x04) {
    WriteFile(run.path, run.image);
  } else {
    std::error_code ignored;
    std::filesystem::remove(run.path, ignored);  // left by an earlier input
  }

  while (!in.Empty()) {
    const uint8_t pick = in.Byte() % 12;
    if (pick == 11) {
      const uint8_t change = in.Byte();
      switch (change & 7) {
        case 0: {
          std::error_code ignored;
          std::filesystem::remove(run.path, ignored);  // an open handle reads on
          break;
        }
        case 1: WriteFile(run.path, run.image); break;
        case 2: c.m_bLinkReady = !c.m_bLinkReady; break;
        case 3: job.nMode = (change >> 3) & 7; break;
        case 4: c.ClosePort(); break;  // sends fail: nothing may advance
        case 5: c.OpenPort(PortSettings{}, "fuzz"); break;
        default: break;
      }
      continue;
    }
    FrameHeader h;
    h.wCode = in.U16();
    const uint8_t sb = in.Byte();
    h.wStatus = (sb & 0x80) ? in.U16() : sb & 7;
    const uint8_t lb = in.Byte();
    h.wLength = (lb & 0x80) ? in.U16() : lb & 0x3F;
    h.wParam = in.U16();
    const uint8_t mb = in.Byte();
    h.wStart = (forceMarks || (mb & 1)) ? kStartMark : in.U16();
    h.wEnd = (forceMarks || (mb & 2)) ? kEndMark : in.U16();
    const uint8_t fl = in.Byte();
    const size_t frameLength = fl < 0xF0 ? fl % 80 : kHeaderSize + h.wLength;
    Bytes frame = in.Take(frameLength);
    frame.resize(frameLength, 0);
    run.Call(kHandlers[pick], h, frame);
  }
  return 0;
}
