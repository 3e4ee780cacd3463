// Audio source metadata (type 0x33, one data byte: the source number): the controller sends the
// source's texts one record at a time, in field-code order, each a type 0x34 frame holding the
// field code and the text. Each acknowledge from the server asks for the next record; after the
// last one the controller answers the end-of-data frame 5A 01 03 41 91. A source the scenario
// lacks is answered with the negative acknowledge. Any other request ends the walk.
#include <algorithm>

#include "sim/object_state.h"

namespace zel::sim {

void ContinueMetadataWalk(SimState& state, const RequestFrame& /*request*/, Reply* reply) {
  FrameSequence& walk = state.metadata_walk;
  if (walk.next >= walk.frames.size()) {
    walk = FrameSequence{};
    reply->frame = MakeFrame(kEndOfData, {});
    return;
  }
  reply->frame = walk.frames[walk.next++];
}

void HandleAudioMetadata(SimState& state, const RequestFrame& request, Reply* reply) {
  if (request.data_size() != 1) return;
  const auto& sources = Objects(state).audio_sources;
  auto it = sources.find(request.data()[0]);
  if (it == sources.end()) return;
  FrameSequence walk;
  walk.active = true;
  for (const auto& [code, text] : it->second.texts) {
    // A record holds at most 253 text bytes (the length byte counts type and code too).
    size_t length = std::min<size_t>(text.size(), 253);
    Bytes data(1 + length);
    data[0] = code;
    std::copy_n(text.begin(), length, data.begin() + 1);
    walk.frames.push_back(MakeFrame(kAudioMetadataReply, data));
  }
  state.metadata_walk = std::move(walk);
  ContinueMetadataWalk(state, request, reply);
}

}  // namespace zel::sim
