// Shared pieces of the fuzz targets: an input reader, a CRC-32 of their own,
// the client's frames built byte by byte, and the wire check that every target
// runs on what the client wrote. A violated invariant prints what was wrong and
// aborts, so libFuzzer keeps the input as a crash.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/upgrade_types.h"

namespace t42rm::fuzz {

using Bytes = std::vector<uint8_t>;

[[noreturn]] inline void Fail(const char* file, int line, const char* what, const std::string& detail) {
  std::fprintf(stderr, "\n*** invariant violated at %s:%d: %s\n    %s\n", file, line, what,
               detail.c_str());
  std::abort();
}

#define FUZZ_CHECK(cond, detail)                                               \
  do {                                                                         \
    if (!(cond)) ::t42rm::fuzz::Fail(__FILE__, __LINE__, #cond, (detail));     \
  } while (0)

inline std::string Hex(const uint8_t* p, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02X ", p[i]);
    s += b;
  }
  return s;
}
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

// Reads the fuzz input front to back; past its end every read yields zeros.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ >= size_; }
  size_t Left() const { return size_ - pos_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) << 16 | U16(); }
  // Up to n bytes, fewer at the end of the input.
  Bytes Take(size_t n) {
    const size_t k = n < Left() ? n : Left();
    Bytes out(data_ + pos_, data_ + pos_ + k);
    pos_ += k;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Helpers that loop over megabytes: their per-byte comparisons tell the fuzzer
// nothing, and tracing them would cost most of the run time.
#define FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage")))

// CRC-32 (reflected, 0xEDB88320), written apart from the product's.
FUZZ_NO_COVERAGE inline uint32_t RefCrc32(const uint8_t* p, size_t n) {
  static const auto table = [] {
    std::vector<uint32_t> t(256);
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
      t[i] = c;
    }
    return t;
  }();
  uint32_t reg = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) reg = table[(reg ^ p[i]) & 0xFF] ^ (reg >> 8);
  return ~reg;
}

FUZZ_NO_COVERAGE inline bool AllFF(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0xFF) return false;
  return true;
}

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t Le32(const uint8_t* p) { return Le16(p) | static_cast<uint32_t>(Le16(p + 2)) << 16; }

// --- The client's frames, as the wire must carry them ---
inline Bytes ClientHeader(uint16_t code, uint16_t status, uint16_t w3, uint16_t w4) {
  return {0xFD, 0xC9, uint8_t(code), uint8_t(code >> 8), uint8_t(status), uint8_t(status >> 8),
          uint8_t(w3), uint8_t(w3 >> 8), uint8_t(w4), uint8_t(w4 >> 8), 0x8D, 0xC5};
}
inline Bytes StartFrame(uint16_t code, uint32_t size) {
  Bytes f = ClientHeader(code, 1, kStartBodySize, 0);
  const Bytes body = {0xFE, 0xC5, 0, 0, uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16),
                      uint8_t(size >> 24), 0x0D, 0xC9, 0, 0};
  f.insert(f.end(), body.begin(), body.end());
  return f;
}
// A device frame: FD, any byte, words 1-4 high byte first, end mark C5 8D.
inline Bytes DeviceFrame(uint16_t code, uint16_t status = 0, uint16_t w3 = 0, uint16_t w4 = 0) {
  return {0xFD, 0x00, uint8_t(code >> 8), uint8_t(code), uint8_t(status >> 8), uint8_t(status),
          uint8_t(w3 >> 8), uint8_t(w3), uint8_t(w4 >> 8), uint8_t(w4), 0xC5, 0x8D};
}

// One frame as it left the client; a data block gathers its header and the
// eight writes behind it.
struct WireFrame {
  Bytes bytes;  // the frame as written (the header alone for a block)
  uint16_t code = 0, status = 0, w3 = 0, w4 = 0;
  bool block = false;  // a BlockHeader
  bool blank = false;  // ... announcing a block of 0xFF (NON_DATA)
  Bytes data;          // a data block's 8192 bytes
  size_t writes = 1;   // port writes it took
};

// Checks the grammar of everything the client wrote: each write is one frame
// of a catalogue size (12, 14, 24, 1052, 1056) with the client's marks, or one
// of the eight 1024-byte writes right behind a data BlockHeader, whose CRC
// (high half in word 3) matches those 8192 bytes; a NON_DATA header has zero
// words 3 and 4 and nothing behind it.
inline std::vector<WireFrame> ParseWire(const std::vector<Bytes>& writes) {
  std::vector<WireFrame> frames;
  for (size_t i = 0; i < writes.size(); ++i) {
    const Bytes& w = writes[i];
    const size_t n = w.size();
    FUZZ_CHECK(n == 12 || n == 14 || n == 24 || n == 1052 || n == 1056,
               "write #" + std::to_string(i) + " of " + std::to_string(n) + " bytes: " +
                   Hex(w.data(), n < 16 ? n : 16));
    FUZZ_CHECK(w[0] == 0xFD && w[1] == 0xC9 && w[10] == 0x8D && w[11] == 0xC5,
               "client marks: " + Hex(w.data(), 12));
    WireFrame f;
    f.bytes = w;
    f.code = Le16(&w[2]);
    f.status = Le16(&w[4]);
    f.w3 = Le16(&w[6]);
    f.w4 = Le16(&w[8]);
    if (f.code == kCodeBlockHeader) {
      FUZZ_CHECK(n == 12, "BlockHeader of " + std::to_string(n) + " bytes");
      f.block = true;
      FUZZ_CHECK(f.status == 0 || f.status == 1, "BlockHeader status " + std::to_string(f.status));
      f.blank = f.status == 1;
      if (f.blank) {
        FUZZ_CHECK(f.w3 == 0 && f.w4 == 0, "NON_DATA header " + Hex(w));
        FUZZ_CHECK(i + 1 == writes.size() || writes[i + 1].size() != size_t(kBlockWriteSize),
                   "data behind a NON_DATA header");
      } else {
        FUZZ_CHECK(i + kBlockWrites < writes.size(), "data block cut short: " +
                                                         std::to_string(writes.size() - i - 1) +
                                                         " writes behind its header");
        for (int k = 1; k <= kBlockWrites; ++k) {
          const Bytes& d = writes[i + k];
          FUZZ_CHECK(d.size() == size_t(kBlockWriteSize),
                     "block write " + std::to_string(k) + " of " + std::to_string(d.size()));
          f.data.insert(f.data.end(), d.begin(), d.end());
        }
        i += kBlockWrites;
        f.writes += kBlockWrites;
        const uint32_t crc = RefCrc32(f.data.data(), f.data.size());
        FUZZ_CHECK((uint32_t(f.w3) << 16 | f.w4) == crc,
                   "block CRC in header " + Hex(w) + " vs data " + std::to_string(crc));
        FUZZ_CHECK(!AllFF(f.data.data(), f.data.size()), "a blank block sent as data");
      }
    }
    frames.push_back(std::move(f));
  }
  return frames;
}

}  // namespace t42rm::fuzz
