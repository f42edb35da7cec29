#include "protocol/image_check.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "common/base_global.h"
#include "common/byte_order.h"

namespace t42rm {

const char* ImageProblemText(ImageProblem problem) {
  switch (problem) {
    case ImageProblem::kNone:
      return "accepted";
    case ImageProblem::kUnreadable:
      return "image file cannot be read";
    case ImageProblem::kSizeOutOfRange:
      return "image size out of range";
    case ImageProblem::kTooShort:
      return "firmware image shorter than its header and trailer";
    case ImageProblem::kShortRead:
      return "image file shorter than its size";
    case ImageProblem::kStoredCrcMismatch:
      return "stored CRC-32 does not match the image";
    case ImageProblem::kNothingToSend:
      return "empty image: no block to send";
    case ImageProblem::kBadMode:
      return "unknown upgrade mode";
  }
  return "refused";
}

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

uint32_t RoundUpToBlock(uint32_t n) { return (n + kBlockSize - 1) / kBlockSize * kBlockSize; }

ImageReport Refuse(ImageReport r, ImageProblem problem, std::string detail) {
  r.problem = problem;
  r.detail = std::move(detail);
  r.blocks.clear();
  r.blankBlocks = 0;
  r.imageCrc = 0;
  return r;
}

// Reads exactly n bytes, or says why not.
bool ReadExactly(std::FILE* f, uint8_t* out, size_t n, std::string& why) {
  if (n == 0) return true;
  const size_t got = std::fread(out, 1, n, f);
  if (got == n) return true;
  why = std::ferror(f) ? std::strerror(errno) : "end of file";
  return false;
}

}  // namespace

ImageReport InspectImage(const std::string& path, UpgradeMode mode) {
  ImageReport r;
  r.mode = mode;
  if (mode < kModeFirmware || mode > kModeChannel)
    return Refuse(r, ImageProblem::kBadMode, std::to_string(mode));
  r.firmware = mode == kModeFirmware || mode == kModeBootAndFirmware;

  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return Refuse(r, ImageProblem::kUnreadable, std::strerror(errno));
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec))
    return Refuse(r, ImageProblem::kUnreadable, ec ? ec.message() : "not a regular file");
  const auto bytes = std::filesystem::file_size(path, ec);
  if (ec) return Refuse(r, ImageProblem::kUnreadable, ec.message());
  r.size = static_cast<int64_t>(bytes);
  if (r.size > kMaxImageSize)
    return Refuse(r, ImageProblem::kSizeOutOfRange,
                  std::to_string(r.size) + " bytes, at most " + std::to_string(kMaxImageSize));
  if (r.firmware && r.size < kQlbOverhead)
    return Refuse(r, ImageProblem::kTooShort,
                  std::to_string(r.size) + " bytes, at least " + std::to_string(kQlbOverhead));
  const uint32_t size = static_cast<uint32_t>(r.size);

  // The staging buffer as StageImage lays it out: whole blocks covering every
  // CRC region of the mode, zero beyond the prepared image.
  uint32_t len = RoundUpToBlock(size);
  uint32_t crcStart = 0;
  uint32_t crcLength = size;
  if (mode == kModeFirmware) {
    r.firstOffset = kFirmwareFirstOffset;
    len = std::max(len, kFirmwareFirstOffset + kFirmwareCrcLength);
    crcStart = kFirmwareFirstOffset;
    crcLength = kFirmwareCrcLength;
  } else if (mode == kModeModule) {
    len = std::max(len, kModuleCrcLength);
    crcLength = kModuleCrcLength;
  }
  r.bufferLength = len;

  // Prepared firmware image: payload (file bytes 64 .. size-5) from offset 0,
  // then 68 bytes of 0xFF where header and trailer were. Other modes: the file.
  const uint32_t fromFile = r.firmware ? size - kQlbOverhead : size;
  const uint32_t ffEnd = r.firmware ? size : fromFile;
  std::string why;
  uint32_t fileCrc = kCrc32Init;
  if (r.firmware) {
    std::array<uint8_t, kQlbHeaderSize> header{};
    if (!ReadExactly(file.get(), header.data(), header.size(), why))
      return Refuse(r, ImageProblem::kShortRead, why);
    fileCrc = Crc32Update(fileCrc, header.data(), header.size());
  }

  uint32_t regionCrc = kCrc32Init;
  std::vector<StreamedBlock> blocks;
  uint32_t blanks = 0;
  std::array<uint8_t, kBlockSize> block{};
  for (uint32_t pos = 0; pos < len; pos += kBlockSize) {
    const uint32_t end = pos + kBlockSize;
    const uint32_t n = fromFile > pos ? std::min<uint32_t>(fromFile - pos, kBlockSize) : 0;
    if (!ReadExactly(file.get(), block.data(), n, why))
      return Refuse(r, ImageProblem::kShortRead, why);
    if (r.firmware) fileCrc = Crc32Update(fileCrc, block.data(), n);
    const uint32_t ffTo = std::clamp(ffEnd, pos, end) - pos;
    std::fill(block.begin() + n, block.begin() + std::max(n, ffTo), uint8_t{0xFF});
    std::fill(block.begin() + std::max(n, ffTo), block.end(), uint8_t{0});

    const uint32_t from = std::clamp(crcStart, pos, end);
    const uint32_t to = std::clamp(crcStart + crcLength, pos, end);
    if (to > from) regionCrc = Crc32Update(regionCrc, block.data() + (from - pos), to - from);

    if (pos >= r.firstOffset) {
      const bool blank =
          std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0xFF; });
      blocks.push_back({pos, blank, blank ? 0u : Crc32(block.data(), block.size())});
      if (blank) ++blanks;
    }
  }
  r.blocks = std::move(blocks);
  r.blankBlocks = blanks;
  r.imageCrc = Crc32Final(regionCrc);

  if (r.firmware) {
    std::array<uint8_t, kQlbTrailerSize> trailer{};
    if (!ReadExactly(file.get(), trailer.data(), trailer.size(), why))
      return Refuse(r, ImageProblem::kShortRead, why);
    r.computedCrc = Crc32Final(fileCrc);
    r.storedCrc = get_le32(trailer.data());
    if (r.storedCrc != r.computedCrc) {
      char detail[80];
      std::snprintf(detail, sizeof detail, "stored %08x, computed %08x", r.storedCrc,
                    r.computedCrc);
      return Refuse(r, ImageProblem::kStoredCrcMismatch, detail);
    }
  }
  if (r.blocks.empty()) return Refuse(r, ImageProblem::kNothingToSend, "0 bytes");
  return r;
}

}  // namespace t42rm
