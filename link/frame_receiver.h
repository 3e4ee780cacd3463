// FrameReceiver: assembles one reply frame from the bytes a transport reads, in whatever chunks
// they arrive. An explicit state machine (RxStep): start byte, length, type, data, CRC. The length
// byte is checked before anything is allocated or stored, so a frame can never be written past
// the L + 4 bytes its buffer holds.
//
// Thread contract: one receiver serves one receive on one thread; it holds no lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/comm_handler.h"
#include "platform/status.h"

namespace zel {

enum class RxStep { kStart, kLength, kType, kData, kCrc, kDone };

class FrameReceiver {
 public:
  // Consumes bytes in order until the frame is complete or wrong. *used receives the number of
  // bytes taken; bytes after the end of the frame are left untaken (the serial transport drops
  // them). Returns S_OK while the frame is incomplete or just completed (see done()), E_FAIL for
  // a start byte other than 0x5A, a length byte of 0 or a CRC mismatch, E_OUTOFMEMORY when the
  // buffer cannot be allocated. After a failure the partial buffer is already released.
  HRESULT Feed(const uint8_t* bytes, size_t count, size_t* used);

  bool done() const { return step_ == RxStep::kDone; }
  RxStep step() const { return step_; }
  // The complete frame (exactly L + 4 bytes); empty unless done(). The receiver starts over.
  ReplyBuffer TakeFrame();
  // L + 4 of the frame being received; 0 before the length byte.
  uint32_t frame_size() const { return frame_size_; }

 private:
  HRESULT Fail();

  RxStep step_ = RxStep::kStart;
  ReplyBuffer buffer_;
  uint32_t frame_size_ = 0;
  uint32_t offset_ = 0;     // next offset to store at
  uint32_t remaining_ = 0;  // bytes left in the current step
};

}  // namespace zel
