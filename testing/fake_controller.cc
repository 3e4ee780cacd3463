#include "testing/fake_controller.h"

#include <algorithm>

#include "link/frame.h"

namespace zel {

Bytes FakeController::Answer(const Bytes& request) {
  uint8_t type = request[2];
  if (type == MSG_ACK && upload_offset_) {
    // The acknowledge asks for the next block of a running upload.
    if (*upload_offset_ >= config_.setup.size()) {
      upload_offset_.reset();
      return EndOfDataBytes();
    }
    size_t n = std::min(config_.block_size, config_.setup.size() - *upload_offset_);
    // Sized first: g++ 12 misreads an insert into a two-byte vector as out of bounds.
    Bytes data(2 + n);
    data[0] = 0x00;
    data[1] = static_cast<uint8_t>(*upload_offset_ / config_.block_size);
    std::copy_n(config_.setup.begin() + static_cast<long>(*upload_offset_), n, data.begin() + 2);
    *upload_offset_ += n;
    return SealFrame(0x04, data);
  }
  switch (type) {
    case MSG_ACK:
      return config_.probe_ack || logged_in_ ? AckBytes() : NakBytes();
    case MSG_LOGIN: {
      Bytes code(request.begin() + 3, request.begin() + 7);
      logged_in_ = code == config_.login_code;
      return logged_in_ ? AckBytes() : NakBytes();
    }
    case MSG_LOGOUT:
      logged_in_ = false;
      return AckBytes();
    case 0x11: {
      Bytes data(4 + config_.phone.size() + 1, 0);
      data[0] = config_.model_code;
      data[1] = config_.major;
      data[2] = config_.minor;
      data[3] = static_cast<uint8_t>(config_.revision);
      std::copy(config_.phone.begin(), config_.phone.end(), data.begin() + 4);
      return SealFrame(0x12, data);
    }
    case 0x13:
      return SealFrame(0x14, config_.status);
    case 0x10:
      return AckBytes();
    case 0x04:
      upload_offset_ = 0;
      return Answer(AckBytes());
    default:
      return NakBytes();
  }
}

}  // namespace zel
