#include "link/frame_receiver.h"

#include <cstdlib>

#include "link/frame.h"

namespace zel {

HRESULT FrameReceiver::Fail() {
  buffer_.reset();
  step_ = RxStep::kStart;
  frame_size_ = 0;
  offset_ = 0;
  remaining_ = 0;
  return E_FAIL;
}

HRESULT FrameReceiver::Feed(const uint8_t* bytes, size_t count, size_t* used) {
  size_t i = 0;
  if (used != nullptr) *used = 0;
  while (i < count && step_ != RxStep::kDone) {
    uint8_t b = bytes[i++];
    if (used != nullptr) *used = i;
    switch (step_) {
      case RxStep::kStart:
        if (b != kFrameStart) return Fail();
        step_ = RxStep::kLength;
        break;
      case RxStep::kLength:
        // L counts the type byte, so 0 describes no frame: refused before anything is stored.
        if (b == 0) return Fail();
        remaining_ = b;
        frame_size_ = b + kFrameOverhead;
        step_ = RxStep::kType;
        break;
      case RxStep::kType: {
        uint8_t* raw = static_cast<uint8_t*>(std::malloc(frame_size_));
        if (raw == nullptr) {
          Fail();
          return E_OUTOFMEMORY;
        }
        buffer_.reset(raw);
        raw[0] = kFrameStart;
        raw[1] = static_cast<uint8_t>(frame_size_ - kFrameOverhead);
        raw[2] = b;
        offset_ = 3;
        --remaining_;
        if (remaining_ > 0) {
          step_ = RxStep::kData;
        } else {
          step_ = RxStep::kCrc;
          remaining_ = 2;
        }
        break;
      }
      case RxStep::kData:
        buffer_.get()[offset_++] = b;
        if (--remaining_ == 0) {
          step_ = RxStep::kCrc;
          remaining_ = 2;
        }
        break;
      case RxStep::kCrc:
        buffer_.get()[offset_++] = b;
        if (--remaining_ == 0) {
          if (!FrameCrcMatches(buffer_.get())) return Fail();
          step_ = RxStep::kDone;
        }
        break;
      case RxStep::kDone:
        break;
    }
  }
  return S_OK;
}

ReplyBuffer FrameReceiver::TakeFrame() {
  if (step_ != RxStep::kDone) return nullptr;
  step_ = RxStep::kStart;
  frame_size_ = 0;
  offset_ = 0;
  remaining_ = 0;
  return std::move(buffer_);
}

}  // namespace zel
