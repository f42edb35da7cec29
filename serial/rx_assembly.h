// The reader's receive buffer, without threads or devices: bytes come in behind
// those held, the front is kept on the frame start byte 0xFD, a hand-off is due
// once a header's worth (12 bytes) is held, and each hand-off removes exactly
// one header.
//
// Works on storage it does not own (the port's m_pRxBuf and m_nRxCount), so the
// hand-off handler keeps reading them where it always did. Whoever changes the
// storage through this class must be its only writer (the reader thread).
// After every call the count is at most the capacity and the bytes held are
// empty or begin with 0xFD.
#pragma once

#include <cstdint>

namespace t42rm {

class RxAssembly {
 public:
  // buffer holds capacity bytes; count is the number held, kept by the caller.
  RxAssembly(uint8_t* buffer, uint32_t capacity, uint32_t& count)
      : buffer_(buffer), capacity_(capacity), count_(count) {}

  uint32_t Room() const { return capacity_ - count_; }
  // Where the next bytes go; up to Room() of them.
  uint8_t* Tail() { return buffer_ + count_; }
  // Takes n bytes already written at Tail() (n is cut to Room()), then
  // resynchronises.
  void Commit(uint32_t n);
  // Copies as many of the n bytes as fit behind those held and commits them.
  // Returns the number taken; the rest is the caller's to offer again.
  uint32_t Append(const uint8_t* bytes, uint32_t n);
  // Drops every byte in front of the first 0xFD (all of them if there is none).
  void Resynchronise();
  bool ReadyForHandOff() const;
  // After a hand-off: removes the first 12 bytes and resynchronises what is
  // behind them. Does nothing unless ReadyForHandOff().
  void RemoveHeader();

  const uint8_t* Data() const { return buffer_; }
  uint32_t Count() const { return count_; }
  uint32_t Capacity() const { return capacity_; }

 private:
  uint8_t* buffer_;
  uint32_t capacity_;
  uint32_t& count_;
};

}  // namespace t42rm
