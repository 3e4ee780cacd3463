// CZelEvents: the controller's event log mirrored on this side. A process-wide singleton (the
// server's Events property): it walks the controller's log from the newest record back to the
// newest one it already holds, turns each new record into an entry of its class
// (event_entries.h), appends the entries oldest first, stores them (events_store.h) and, while
// polling, hands each one to the server's FireEvent.
//
// The walk (one atomic bracket of the transport, link/walk.h):
//   5A 01 0D C0 55          the log request: the controller answers with its newest record
//   5A 01 05 C1 93          the acknowledge: the next older record
//   end of data, acknowledge or negative acknowledge as the reply: the log is exhausted
// It stops early at the record that is the same entry as the last-seen record. A failed
// exchange restarts it from the log request (nothing is resent), so no record is skipped; the
// sameness rule then stops the new walk where the store stands.
//
// One walk is one commit of the store: its entries and the new last-seen record land together,
// before any of them is added in memory or fired.
//
// Lifecycle: created (and the stored log loaded) on the first request for it while the server's
// store is open; Init loads the last-seen record, takes in silently what the controller logged
// since, and starts the update thread (UpdateInterval 1000 ms). It lives while anyone holds it;
// the next request after that, or a request from a server with another store, makes a new one.
//
// Thread contract: free-threaded; the update thread and client threads call in at once.
//   - walk_mu_ serialises walks (TryUpdate skips while one runs) and guards last_seen_.
//   - add_mu_ serialises appends to the list (Index = count + 1) with ClearLog.
//   - fire_mu_ (recursive) keeps the firing of one walk's entries together and in order.
//   - The list itself is CollectionCore's (list_mu_, update_mu_); the streams are the store's.
//   Lock order: walk_mu_, then fire_mu_ or add_mu_, then CollectionCore's locks. Entries are
//   fired under fire_mu_ alone, never under the walk lock.
#pragma once

#include "events/event_entries.h"
#include "events/events_store.h"
#include "model/collection.h"

namespace zel {

inline constexpr DISPID kDispidClearLog = 0x60040000;

struct IZelEvents : IZelCollection {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x61);
  // Empties the log held here and the stored one; the controller's log and the last-seen
  // record stay, so the log fills again only with newer entries.
  virtual HRESULT ClearLog() = 0;
};

// The log request, message type 0x0D without data.
inline constexpr std::array<uint8_t, 5> kEventLogRequest = {0x5A, 0x01, 0x0D, 0xC0, 0x55};

Variant EventsInitialInterval();
inline constexpr CollectionTraits kEventsTraits{
    "CZelEvents", 0, kClsidZelEvent, "EVENTS", 0, false, &EventsInitialInterval};

class CZelEvents final : public ZelCollectionImpl<CZelEvents, IZelEvents, kEventsTraits> {
 public:
  static constexpr CLSID kClsid = kClsidZelEvents;

  CZelEvents();
  ~CZelEvents() override;

  // Releasing the last reference ends the singleton (see GetEventLog).
  uint32_t Release() override;

  HRESULT ClearLog() override;
  HRESULT Init() override;

  static const MemberTable& Members();

  // The walk (the update step); `index` is not used.
  HRESULT UpdateElements(bool fire_events, uint32_t index, bool try_only) override;

  // Creates an entry of the class of `values.type` and appends it; fires it when `fire`.
  // E_FAIL for a type code outside the table (nothing created). Not stored: the walk stores.
  HRESULT AddEntry(const EntryValues& values, bool fire);
  // The same without firing; *appended (may be null) receives the entry.
  HRESULT AppendEntry(const EntryValues& values, ComPtr<IDispatch>* appended);

  // Reads the stored log of `storage` (once, at creation).
  HRESULT LoadStoredLog(IStorage* storage);

  LastSeenRecord last_seen() const;
  EventsStore& store() { return store_; }

 private:
  // One walk; the entries it appended (already stored) go to *added, to be fired.
  HRESULT Walk(std::vector<ComPtr<IDispatch>>* added) ZEL_REQUIRES(walk_mu_);

  EventsStore store_;
  mutable Mutex walk_mu_;
  LastSeenRecord last_seen_ ZEL_GUARDED_BY(walk_mu_){};
  Mutex add_mu_;
  // Held while a walk's entries are fired, taken before the walk lock is let go, so walks fire
  // in order; recursive for a handler that asks for an update while it is called.
  RecursiveMutex fire_mu_;
};

// The one event log of the process for the server's current store, with one added reference;
// created and loaded on first request. E_UNEXPECTED without a server or an open store; the
// failure of the stored log's load otherwise.
HRESULT GetEventLog(IDispatch** events);

// Registers the entry classes, "Corvane.ZelEvents" and the server's Events slot.
void RegisterEventLogClasses();

}  // namespace zel
