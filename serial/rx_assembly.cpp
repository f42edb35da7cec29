#include "serial/rx_assembly.h"

#include <algorithm>
#include <cstring>

#include "common/upgrade_types.h"

namespace t42rm {

void RxAssembly::Commit(uint32_t n) {
  count_ += std::min(n, Room());
  if (count_ > 0) Resynchronise();
}

uint32_t RxAssembly::Append(const uint8_t* bytes, uint32_t n) {
  const uint32_t taken = std::min(n, Room());
  if (taken > 0) std::memcpy(Tail(), bytes, taken);
  Commit(taken);
  return taken;
}

void RxAssembly::Resynchronise() {
  uint32_t skip = 0;
  while (skip < count_ && buffer_[skip] != kFrameStartByte) ++skip;
  if (skip == 0) return;
  count_ -= skip;
  std::memmove(buffer_, buffer_ + skip, count_);
}

bool RxAssembly::ReadyForHandOff() const { return count_ >= static_cast<uint32_t>(kHeaderSize); }

void RxAssembly::RemoveHeader() {
  if (!ReadyForHandOff()) return;
  // Exactly one header goes; bytes behind it are offered in the next pass.
  count_ -= kHeaderSize;
  std::memmove(buffer_, buffer_ + kHeaderSize, count_);
  if (count_ > 0) Resynchronise();
}

}  // namespace t42rm
