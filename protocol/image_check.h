// The offline check of an image file: what the client will stage from it on the
// device's start answer of a mode, and what it will stream. Applies the same
// rules as StageImage (size limit, firmware stored CRC-32, header removal,
// buffer length, first block, overall CRC region) without a client, so a
// front end can refuse a bad image before anything goes on the wire.
//
// Pure apart from reading the file: callable from any thread. The file is read
// once, block by block; memory use does not grow with the image size beyond
// one entry per block.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/upgrade_types.h"

namespace t42rm {

enum class ImageProblem {
  kNone,
  kUnreadable,         // cannot be opened or examined (detail: the OS's reason)
  kSizeOutOfRange,     // above kMaxImageSize
  kTooShort,           // firmware image shorter than its header and trailer
  kShortRead,          // the file yields fewer bytes than its size
  kStoredCrcMismatch,  // firmware trailer differs from the computed CRC-32
  kNothingToSend,      // an empty image: the mode streams no block
  kBadMode,            // not one of the four modes
};
const char* ImageProblemText(ImageProblem problem);

struct StreamedBlock {
  uint32_t offset = 0;  // in the staging buffer
  bool blank = false;   // all 0xFF: announced as NON_DATA, not sent
  uint32_t crc = 0;     // CRC-32 of the 8192 bytes (0 for a blank block)
};

struct ImageReport {
  ImageProblem problem = ImageProblem::kNone;
  std::string detail;  // why, in a few words (OS error, sizes)
  UpgradeMode mode = 0;
  int64_t size = 0;          // bytes in the file
  bool firmware = false;     // a .qlb layout: stored CRC checked, header removed
  uint32_t storedCrc = 0;    // firmware: the trailer, little-endian
  uint32_t computedCrc = 0;  // firmware: CRC-32 of header and payload
  uint32_t firstOffset = 0;  // offset of the first block in the staging buffer
  uint32_t bufferLength = 0;
  uint32_t imageCrc = 0;              // the overall CRC the ImageCrc answer carries
  std::vector<StreamedBlock> blocks;  // every block the device will ask for, in order
  uint32_t blankBlocks = 0;

  bool Accepted() const { return problem == ImageProblem::kNone; }
  uint32_t BlocksToSend() const { return static_cast<uint32_t>(blocks.size()); }
  uint32_t DataBlocks() const { return BlocksToSend() - blankBlocks; }
};

// Examines the file at path as the start answer of mode will stage it. When
// the image is refused, blocks is empty and imageCrc 0 (nothing would be
// sent); the stored and computed CRCs are filled whenever the file was read.
ImageReport InspectImage(const std::string& path, UpgradeMode mode);

}  // namespace t42rm
