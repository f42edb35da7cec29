// Fuzz target: the receive pump's buffer handling (RxAssembly) on arbitrary
// arrivals, without threads. The pump's pass is replayed as ReadThreadProc
// runs it: read what is waiting (at most 8192 bytes and what fits), commit and
// resynchronise, hand over when a header's worth is held, remove 12 bytes.
// A plain model of the bytes held (a vector, erased at the front) is the oracle.
//
// Input: one byte picks the buffer capacity (4097 most often), then records:
//   b < 0x80   b bytes arrive at the device
//   b < 0xC0   ((b & 0x3F) << 8 | next) bytes arrive, the next 64 input bytes
//              repeated to fill them (a burst)
//   b < 0xE0   (b & 0x1F) + 1 passes of the reader
//   else       a direct Append of (b & 0x1F) * 200 bytes (more than fits, too)
#include <algorithm>
#include <memory>

#include "serial/rx_assembly.h"
#include "tests/fuzz/fuzz_support.h"

using namespace t42rm;
using namespace t42rm::fuzz;

namespace {

constexpr uint32_t kReadLimit = 8192;  // the largest read of one pass

struct Harness {
  explicit Harness(uint32_t capacity)
      : storage(new uint8_t[capacity]), rx(storage.get(), capacity, count) {}

  // The model's resynchronisation: drop everything in front of the first 0xFD.
  void ModelResync() {
    size_t skip = 0;
    while (skip < held.size() && held[skip] != kFrameStartByte) ++skip;
    held.erase(held.begin(), held.begin() + long(skip));
  }

  // Every step compares the count and both ends of what is held; a whole
  // comparison follows each input record (a pass over a full buffer repeats
  // hundreds of times, and comparing 4 KiB each time would only slow it).
  void Compare(const char* at, bool whole = false) {
    FUZZ_CHECK(rx.Count() <= rx.Capacity(), std::string(at) + ": count " + std::to_string(rx.Count()));
    FUZZ_CHECK(rx.Count() == 0 || rx.Data()[0] == kFrameStartByte, std::string(at) + ": front " + Hex(rx.Data(), 1));
    FUZZ_CHECK(rx.Count() == held.size(),
               std::string(at) + ": holds " + std::to_string(rx.Count()) + ", model " + std::to_string(held.size()));
    FUZZ_CHECK(rx.Room() == rx.Capacity() - rx.Count(), std::string(at) + ": room");
    const size_t n = held.size();
    const size_t edge = whole ? n : std::min<size_t>(n, 16);
    if (edge == 0) return;
    FUZZ_CHECK(std::memcmp(held.data(), rx.Data(), edge) == 0, std::string(at) + ": first bytes differ");
    FUZZ_CHECK(std::memcmp(held.data() + (n - edge), rx.Data() + (n - edge), edge) == 0,
               std::string(at) + ": last bytes differ");
  }

  void Pass() {
    const uint32_t n = std::min({uint32_t(Waiting()), kReadLimit, rx.Room()});
    std::copy_n(queue.data() + queued, n, rx.Tail());
    rx.Commit(n);
    held.insert(held.end(), queue.data() + queued, queue.data() + queued + n);
    queued += n;
    ModelResync();
    Compare("read");

    FUZZ_CHECK(rx.ReadyForHandOff() == (held.size() >= size_t(kHeaderSize)), "hand-off readiness");
    if (!rx.ReadyForHandOff()) return;
    // What the handler copies: every byte held, starting on a start byte.
    static uint8_t copy[8192];
    FUZZ_CHECK(rx.Count() <= sizeof copy, "hand-off larger than the handler's copy");
    std::memcpy(copy, rx.Data(), rx.Count());
    FUZZ_CHECK(copy[0] == kFrameStartByte, "hand-off starts on " + Hex(copy, 1));
    rx.RemoveHeader();
    held.erase(held.begin(), held.begin() + kHeaderSize);
    ModelResync();
    Compare("remove");
  }

  void Append(const Bytes& bytes) {
    const uint32_t room = rx.Room();
    const uint32_t taken = rx.Append(bytes.data(), uint32_t(bytes.size()));
    FUZZ_CHECK(taken == std::min<uint32_t>(room, uint32_t(bytes.size())),
               "Append took " + std::to_string(taken) + " with room " + std::to_string(room));
    held.insert(held.end(), bytes.begin(), bytes.begin() + taken);
    ModelResync();
    Compare("append");
  }

  // Exactly the capacity, on the heap: a write past it is caught.
  std::unique_ptr<uint8_t[]> storage;
  uint32_t count = 0;
  RxAssembly rx;
  size_t Waiting() const { return queue.size() - queued; }
  void Arrive(const Bytes& bytes) { queue.insert(queue.end(), bytes.begin(), bytes.end()); }

  Bytes held;         // model of the buffer
  Bytes queue;        // the device's receive queue ...
  size_t queued = 0;  // ... read up to here
};

Bytes Repeat(const Bytes& source, size_t length) {
  Bytes out(length, kFrameStartByte);
  for (size_t i = 0; !source.empty() && i < length; i += source.size())
    std::memcpy(out.data() + i, source.data(), std::min(source.size(), length - i));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  static constexpr uint32_t kCapacities[8] = {4097, 4097, 4097, 4097, 12, 13, 24, 4096};
  Harness h(kCapacities[in.Byte() & 7]);
  while (!in.Empty()) {
    const uint8_t b = in.Byte();
    if (b < 0x80) {
      h.Arrive(in.Take(b));
    } else if (b < 0xC0) {
      const size_t length = size_t(b & 0x3F) << 8 | in.Byte();
      h.Arrive(Repeat(in.Take(64), length));
    } else if (b < 0xE0) {
      for (int k = 0; k <= (b & 0x1F); ++k) h.Pass();
    } else {
      h.Append(Repeat(in.Take(64), size_t(b & 0x1F) * 200));
    }
    h.Compare("record", true);
  }
  // The reader keeps passing until nothing more can be handed over. Every pass
  // reads at least a byte or removes a header (a full buffer holds at least
  // one), so this many passes are enough.
  const size_t guard = 2 * (h.Waiting() + h.rx.Count()) + 2;
  for (size_t k = 0; k < guard && (h.Waiting() > 0 || h.rx.ReadyForHandOff()); ++k) h.Pass();
  FUZZ_CHECK(h.Waiting() == 0 && !h.rx.ReadyForHandOff(), "the reader did not drain its queue");
  h.Compare("drained", true);
  return 0;
}
