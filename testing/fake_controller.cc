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
    Bytes data = {0x00, static_cast<uint8_t>(*upload_offset_ / config_.block_size)};
    data.insert(data.end(), config_.setup.begin() + *upload_offset_,
                config_.setup.begin() + *upload_offset_ + n);
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
      Bytes data = {config_.model_code, config_.major, config_.minor,
                    static_cast<uint8_t>(config_.revision)};
      data.insert(data.end(), config_.phone.begin(), config_.phone.end());
      data.push_back(0);
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
