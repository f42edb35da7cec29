// Module-level receive and streaming state, one instance for the program,
// shared by every client object and touched only on the user thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

namespace t42rm {

// 0 looking for a frame start byte, 1 a header is pending.
extern int32_t g_nHeaderState;
// Copy area through which received bytes are moved to the front.
extern std::array<uint8_t, 2048> g_Scratch;
// Staging buffer of the latest start answer (none before the first), its
// length, the overall CRC the ImageCrc answer carries, the next block's offset,
// and the offset of the mode's first block.
extern std::unique_ptr<uint8_t[]> g_pImage;
extern uint32_t g_nImageLen;
extern uint32_t g_dwImageCrc;
extern int32_t g_nBlockOffset;
extern uint32_t g_nFirstBlockOffset;

// Back to program start (tests and fuzz targets that run many sessions).
void ResetStreamingState();

}  // namespace t42rm
