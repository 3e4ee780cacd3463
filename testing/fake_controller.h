// FakeController: a controller in memory for unit tests that want a conversation without the
// simulator's pseudo-terminal: probe, login, system information, system status, set time, setup
// upload in blocks and logout, with the model, firmware, clock and setup block a test gives it.
// Anything else is refused with the negative acknowledge.
//
// Thread contract: none of its own; FakeLink calls it under its mutex.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "testing/frames.h"

namespace zel {

struct FakeControllerConfig {
  bool probe_ack = false;  // acknowledge the probe without a login
  Bytes login_code = {7, 3, 9, 5};
  uint8_t model_code = 30;
  uint8_t major = 3, minor = 2;
  int8_t revision = 0;
  std::string phone = "5550100";
  // Status reply data bytes 0 .. 13 (date valid, year, month, ... battery), then nothing more.
  Bytes status = {1, 26, 12, 6, 7, 14, 30, 15, 0, 6, 45, 17, 20, 87};
  Bytes setup;             // the setup block
  size_t block_size = 64;  // payload bytes per upload block
};

class FakeController {
 public:
  explicit FakeController(FakeControllerConfig config) : config_(std::move(config)) {}
  // The reply to one request frame.
  Bytes Answer(const Bytes& request);
  FakeControllerConfig& config() { return config_; }

 private:
  FakeControllerConfig config_;
  bool logged_in_ = false;
  std::optional<size_t> upload_offset_;  // set while a setup upload runs
};

}  // namespace zel
