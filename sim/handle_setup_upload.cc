// Setup upload (type 0x04, no data): the controller sends its setup block in data blocks of
// type 0x04: a two-byte block number (high byte first), then up to the scenario's block size of
// setup bytes. Each acknowledge from the server asks for the next block; after the last one the
// controller answers the end-of-data frame 5A 01 03 41 91. Any other request ends the upload.
#include "sim/handlers.h"
#include "sim/setup_scenario.h"

namespace zel::sim {
namespace {

Bytes EndOfDataFrame() { return MakeFrame(kEndOfData, {}); }

}  // namespace

void ContinueSetupUpload(SimState& state, const RequestFrame& /*request*/, Reply* reply) {
  SetupUpload& up = state.setup_upload;
  if (up.offset >= up.block.size()) {
    up = SetupUpload{};
    reply->frame = EndOfDataFrame();
    return;
  }
  size_t n = std::min(state.scenario.setup_block_size, up.block.size() - up.offset);
  Bytes data;
  data.reserve(2 + n);
  data.push_back(static_cast<uint8_t>(up.next_block >> 8));
  data.push_back(static_cast<uint8_t>(up.next_block));
  for (size_t i = 0; i < n; ++i) data.push_back(up.block[up.offset + i]);
  up.offset += n;
  ++up.next_block;
  ++state.setup_blocks_sent;
  reply->frame = MakeFrame(kSetupUpload, data);
}

void HandleSetupUpload(SimState& state, const RequestFrame& request, Reply* reply) {
  const Scenario& s = state.scenario;
  Bytes block;
  std::string error;
  if (Failed(BuildSetupBlock(s.document, s.model, s.firmware.major, s.firmware.minor, &block,
                             &error))) {
    reply->frame = NakFrame();
    return;
  }
  state.setup_upload = SetupUpload{true, std::move(block), 0, 0};
  ContinueSetupUpload(state, request, reply);
}

}  // namespace zel::sim
