// Faults the simulated controller can be told to commit on its next replies, so tests see how
// the server copes with a misbehaving line. Each fault applies to the next `count` replies
// (count -1: until cleared), after letting `skip` replies through; several active faults combine
// on one reply.
//
// Thread contract: FaultSet is not synchronised; the Simulator guards it with its state mutex.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/status.h"
#include "sim/frames.h"

namespace zel::sim {

enum class FaultKind {
  kNoReply,     // the request is swallowed: no reply at all
  kCorruptCrc,  // the reply's last CRC byte is inverted
  kBadStart,    // the reply's start byte is 0xA5 instead of 0x5A
  kGarbage,     // `bytes` are sent before the reply
  kChunked,     // the reply goes out in pieces of `chunks` sizes, `pause_ms` apart
  kDelay,       // the reply goes out after `delay_ms`
  kTruncate,    // only the first `truncate_to` bytes of the reply go out
  kRawReply,    // `bytes` are sent instead of the handler's reply
  kTrickle,     // the reply goes out one byte every `pause_ms` (default 1000), so no read of
                // the server's times out while the frame takes minutes; the next request the
                // server writes ends it (the rest of the reply is dropped) and is answered
  // Faults of the UDP side only; each applies to the next `count` datagrams the server sends
  // (handshake and terminate packets included) and is ignored on the serial line.
  kLoseRequest,       // the datagram is dropped unread: nothing is carried out or answered
  kPreviousSequence,  // the answer carries the sequence number before the request's
  kWrongType,         // the answer carries packet type 0x7F
  kLoseReply,         // the datagram is carried out, but its answer never goes out
  kStraySender,       // a forged copy of the answer comes first from another port
};

struct Fault {
  FaultKind kind = FaultKind::kNoReply;
  int count = 1;
  Bytes bytes;              // kGarbage, kRawReply
  std::vector<int> chunks;  // kChunked; the last size repeats until the reply is out
  int pause_ms = 0;         // kChunked
  int delay_ms = 0;         // kDelay
  int truncate_to = 0;      // kTruncate
  int skip = 0;  // replies (datagrams for the UDP kinds) let through before the fault starts
};

// Parses a control object such as {"fault":"chunked","chunks":[1,3,5],"pause_ms":20}.
// E_INVALIDARG with a reason for an unknown fault name or a field of the wrong type.
HRESULT ParseFault(const nlohmann::json& object, Fault* fault, std::string* error);
// The names used on the control channel ("no_reply", "corrupt_crc", ...).
const char* FaultName(FaultKind kind);

// What goes on the wire for one reply: the pieces to write, with a pause before each.
struct WirePiece {
  int pause_ms = 0;
  Bytes bytes;
};
struct WirePlan {
  bool send = true;
  bool abandon_on_request = false;  // a request arriving between pieces ends the reply
  std::vector<WirePiece> pieces;
};

// What the UDP side does to one datagram and its answer.
struct DatagramPlan {
  bool lose_request = false;
  bool previous_sequence = false;
  bool wrong_type = false;
  bool lose_reply = false;
  bool stray_sender = false;
};

// True for the kinds that act on datagrams rather than on reply frames.
bool IsDatagramFault(FaultKind kind);

class FaultSet {
 public:
  void Add(Fault fault) { active_.push_back(std::move(fault)); }
  void Clear() { active_.clear(); }
  size_t size() const { return active_.size(); }
  // Applies every active reply fault to a reply and uses up one count of each.
  WirePlan Apply(const Bytes& reply, bool send);
  // Applies every active datagram fault to a received datagram and uses up one count of each.
  DatagramPlan ApplyDatagram();

 private:
  std::vector<Fault> active_;
};

}  // namespace zel::sim
