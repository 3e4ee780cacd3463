// CZelSystemEvents: the controller's live system events, reached through the server's
// SystemEvents property (one per process). Every update asks the controller for the codes it has
// queued (message type 0x22), turns each code into an event object of its class
// (system_event_classes.h), appends it, and while polling hands it to the server's FireEvent,
// which refreshes what the event concerns and delivers it to handlers and sinks.
//
//   update step   request 5A 01 22 81 89; a reply with data carries code pairs (high byte
//                 first), all stamped with one Time; a reply of length 1 means nothing queued
//   Init          one step without events (codes queued while the server was down are kept
//                 silently), then the update thread at UpdateInterval (1000 ms)
//   AddEvent      code, time, save (no effect), fire (only the boolean true 0xFFFF counts)
//   ClearLog      does nothing: system events are never cleared
//
// Left to us, and decided here:
//   - a reply with an odd number of data bytes: the pairs are taken, the lone last byte is
//     skipped and written to the server log with the raw reply;
//   - a reply that carries data but is an acknowledge, negative acknowledge or end-of-data frame
//     is no event reply: nothing is added and the reply is written to the server log;
//   - the plain negative acknowledge (5A 01 06 81 92) fails the step with E_FAIL: the controller
//     refuses the request only when it has forgotten the login (after a restart), and failed
//     steps are what makes the update thread log in again;
//   - codes whose class does not exist (kinds 26, 27) are dropped as the rules say, and each is
//     written to the server log.
//   SkippedCount() counts codes and bytes skipped for these reasons.
//
// Order and delivery: one update step runs at a time (step_mu_), from the request to the last
// FireEvent of its reply, so events reach clients in the order the controller queued them, each
// once. TryUpdate skips when a step runs; Update waits for it. A handler that calls
// Update/TryUpdate from inside a delivery is not let into a second step on the same thread (it
// returns S_FALSE), so it can neither deadlock nor reorder the events.
//
// Thread contract: free-threaded. The update thread, client threads (TryUpdate, Update, AddEvent)
// call in at once. The element list is the template's (list lock in CollectionCore); step_mu_
// serialises update steps and is held while events are delivered, never while a client waits
// for anything else of this collection. skipped_ is atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "events/system_event_classes.h"
#include "model/collection.h"

namespace zel {

inline constexpr CLSID kClsidZelSystemEvents = ZelClassId(kIdCoclass, 0x71);
inline constexpr DISPID kDispidSystemEventsAddEvent = 0x60040000;
inline constexpr DISPID kDispidSystemEventsClearLog = 0x60040001;
// The request for the queued codes.
inline constexpr uint8_t MSG_SYSTEM_EVENTS = 0x22;

struct IZelSystemEvents : IZelCollection {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x71);
  virtual HRESULT AddEvent(Variant code, Variant time, Variant save, Variant fire) = 0;
  virtual HRESULT ClearLog() = 0;
};

// The codes of a system-events reply (whole frame, start byte first): the pairs of its data
// bytes, high byte first. *lone_byte is set when the data end with an unpaired byte.
std::vector<uint16_t> SystemEventCodes(const uint8_t* frame, size_t size, bool* lone_byte);

Variant SystemEventsInterval();  // 1000 ms, unsigned 32-bit

inline constexpr CollectionTraits kSystemEventsTraits{
    "CZelSystemEvents", 0, kClsidZelSystemEvent, "SYSTEMEVENTS", 0, false, &SystemEventsInterval};

class CZelSystemEvents final
    : public ZelCollectionImpl<CZelSystemEvents, IZelSystemEvents, kSystemEventsTraits> {
 public:
  static constexpr CLSID kClsid = kClsidZelSystemEvents;

  HRESULT AddEvent(Variant code, Variant time, Variant save, Variant fire) override;
  HRESULT ClearLog() override { return S_OK; }
  static const MemberTable& Members();

  // The update step; the index is not used.
  HRESULT UpdateElements(bool fire_events, uint32_t index, bool try_only) override;

  // Codes and bytes skipped since creation (odd bytes, frames of the wrong kind, dropped kinds).
  uint64_t SkippedCount() const { return skipped_.load(); }

 private:
  HRESULT Step(bool fire_events);
  // Creates, stamps and appends one event; fires it when asked. The event, or null when its
  // class does not exist.
  HRESULT Append(const Variant& code, const Variant& time, bool fire);

  Mutex step_mu_;
  std::atomic<uint64_t> skipped_{0};
};

// Registers the collection class (a singleton) and its server slot (SystemEvents).
void RegisterSystemEventClasses();

}  // namespace zel
