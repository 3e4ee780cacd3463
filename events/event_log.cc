#include "events/event_log.h"

#include <algorithm>
#include <optional>

#include "link/frame.h"
#include "link/walk.h"
#include "model/plain_element.h"
#include "platform/class_registry.h"
#include "platform/clock.h"
#include "platform/resource_library.h"
#include "server/collection_slots.h"
#include "server/zel_server.h"

namespace zel {
namespace {

// The singleton and the store it was loaded from. Recursive: a failed creation releases the new
// object while the lock is held.
RecursiveMutex g_log_mu;
CZelEvents* g_log = nullptr;            // g_log_mu; no reference held
const IStorage* g_log_store = nullptr;  // g_log_mu

}  // namespace

Variant EventsInitialInterval() { return Variant::UI4(1000); }

CZelEvents::CZelEvents() = default;

CZelEvents::~CZelEvents() = default;

uint32_t CZelEvents::Release() {
  MutexLock g(&g_log_mu);
  bool singleton = g_log == this;
  uint32_t left = ZelCollectionImpl::Release();
  if (left == 0 && singleton) {
    g_log = nullptr;
    g_log_store = nullptr;
  }
  return left;
}

const MemberTable& CZelEvents::Members() {
  static const MemberTable t =
      MemberTableBuilder<CZelEvents>("CZelEvents")
          .Inherit(CollectionMembers())
          .Method(Role::kAdmin, "ClearLog", kDispidClearLog, &CZelEvents::ClearLog)
          .Build();
  return t;
}

HRESULT CZelEvents::LoadStoredLog(IStorage* storage) {
  std::vector<EntryValues> entries;
  ZEL_TRY(store_.Load(storage, &entries));
  // A stored entry of a type outside the table is passed over (it is not held).
  for (const EntryValues& e : entries) (void)AddEntry(e, false);
  return S_OK;
}

HRESULT CZelEvents::Init() {
  {
    MutexLock g(&walk_mu_);
    if (store_.is_open()) (void)store_.LoadLastSeen(&last_seen_);
  }
  return InitImpl();
}

LastSeenRecord CZelEvents::last_seen() const {
  MutexLock g(&walk_mu_);
  return last_seen_;
}

HRESULT CZelEvents::ClearLog() {
  if (!store_.is_open()) return E_UNEXPECTED;
  MutexLock g(&add_mu_);
  (void)store_.Reset();
  return RemoveAll(true);
}

HRESULT CZelEvents::UpdateElements(bool fire_events, uint32_t /*index*/, bool try_only) {
  if (try_only) {
    // A walk is running already: this one is skipped.
    if (!walk_mu_.TryLock()) return S_OK;
  } else {
    walk_mu_.Lock();
  }
  std::vector<ComPtr<IDispatch>> added;
  HRESULT hr = Walk(&added);
  if (!fire_events || added.empty()) {
    walk_mu_.Unlock();
    return hr;
  }
  // Fired in order and one walk after another, but without the walk lock: a handler may ask
  // for another update (its entries are then fired inside this firing).
  MutexLock firing(&fire_mu_);
  walk_mu_.Unlock();
  ComPtr<CZelServer> server = ServerInstance();
  for (const ComPtr<IDispatch>& entry : added) {
    if (server != nullptr) (void)server->FireEvent(entry.get());
  }
  return hr;
}

HRESULT CZelEvents::Walk(std::vector<ComPtr<IDispatch>>* added) {
  ComPtr<CZelServer> server = ServerInstance();
  ComPtr<IZelCommHandler> link = server != nullptr ? server->transport() : nullptr;
  if (!link) return S_FALSE;

  std::vector<LastSeenRecord> fresh;  // newest first
  std::optional<LastSeenRecord> newest;
  // The reply handler runs within this call (the walk lock held) but is analysed on its own.
  const LastSeenRecord seen = last_seen_;
  WalkHandlers handlers;
  handlers.restart = [&] {
    fresh.clear();
    newest.reset();
  };
  handlers.reply = [&](const uint8_t* frame, WalkStep* step) -> HRESULT {
    *step = WalkStep::kDone;
    if (IsEndOfWalkFrame(frame)) return S_OK;
    *step = WalkStep::kNext;
    std::optional<LastSeenRecord> record = RecordFromFrame(frame);
    // Left to us: a reply too short to be a record is passed over, and never becomes the
    // last-seen record.
    if (!record) return S_OK;
    if (!newest) newest = *record;
    if (SameEntry(*record, seen)) {
      *step = WalkStep::kDone;
      return S_OK;
    }
    fresh.push_back(*record);
    return S_OK;
  };
  ZEL_TRY(RunWalk(link.get(), kEventLogRequest, handlers));

  // Oldest first; a type code outside the table is neither stored nor held.
  BStr label;
  (void)LoadResourceString(kEmptyElementNameStringId, &label);
  std::time_t now = Clock::Get()->WallNow();
  std::vector<EntryValues> entries;
  for (auto it = fresh.rbegin(); it != fresh.rend(); ++it) {
    if (!EventClassOf((*it)[kRecordType])) continue;
    entries.push_back(EntryValuesOf(*it, now, label));
  }
  // Writing the same last-seen bytes again changes nothing but costs a commit every poll: only
  // a new newest record is written.
  bool advance = newest && !IsBlankRecord(*newest) && *newest != last_seen_;
  // A failed commit keeps the changes staged for the next one; the entries are held and fired
  // all the same, as the controller will not send them again.
  (void)store_.CommitWalk(entries, advance ? &*newest : nullptr);
  if (advance) last_seen_ = *newest;
  for (const EntryValues& e : entries) {
    ComPtr<IDispatch> entry;
    if (Succeeded(AppendEntry(e, &entry))) added->push_back(std::move(entry));
  }
  return S_OK;
}

HRESULT CZelEvents::AppendEntry(const EntryValues& values, ComPtr<IDispatch>* appended) {
  Variant type;
  if (Failed(ChangeType(values.type, VT_I4, &type))) return E_FAIL;
  std::optional<EventClass> c = EventClassOf(type.i4());
  if (!c) return E_FAIL;
  ComPtr<IDispatch> entry;
  ZEL_TRY(CreateEventEntry(*c, entry.Receive()));
  ComPtr<IZelEvent> event;
  ZEL_TRY(QueryAs<IZelEvent>(entry.get(), &event));
  (void)event->put_Type(values.type);
  (void)event->put_Time(values.time);
  (void)event->put_Data(values.data);
  {
    MutexLock g(&add_mu_);
    int32_t count = 0;
    (void)CountImpl(&count);
    (void)event->put_Index(Variant::UI4(static_cast<uint32_t>(count) + 1));
    ZEL_TRY(AddImpl(Variant::Dispatch(entry.get()), Variant::Missing()));
  }
  if (appended != nullptr) *appended = std::move(entry);
  return S_OK;
}

HRESULT CZelEvents::AddEntry(const EntryValues& values, bool fire) {
  ComPtr<IDispatch> entry;
  ZEL_TRY(AppendEntry(values, &entry));
  if (fire) {
    if (ComPtr<CZelServer> server = ServerInstance()) (void)server->FireEvent(entry.get());
  }
  return S_OK;
}

HRESULT GetEventLog(IDispatch** events) {
  if (events == nullptr) return E_POINTER;
  *events = nullptr;
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_UNEXPECTED;
  ComPtr<IStorage> store = server->local_store();
  if (!store) return E_UNEXPECTED;
  MutexLock g(&g_log_mu);
  if (g_log != nullptr && g_log_store == store.get()) {
    g_log->AddRef();
    *events = static_cast<IZelEvents*>(g_log);
    return S_OK;
  }
  ComPtr<CZelEvents> log = MakeObject<CZelEvents>();
  ZEL_TRY(log->LoadStoredLog(store.get()));
  g_log = log.get();
  g_log_store = store.get();
  *events = static_cast<IZelEvents*>(log.Detach());
  return S_OK;
}

void RegisterEventLogClasses() {
  RegisterEventEntryClasses();
  ClassRegistry::Instance().Register(
      kClsidZelEvents, "Corvane.ZelEvents", [](IUnknown** object) -> HRESULT {
        ComPtr<IDispatch> log;
        ZEL_TRY(GetEventLog(log.Receive()));
        return log->QueryInterface(IUnknown::kIid, reinterpret_cast<void**>(object));
      });
  CollectionSlotHooks hooks;
  hooks.create = [](IDispatch** collection) { return GetEventLog(collection); };
  hooks.init = [](IDispatch* collection) -> HRESULT {
    ComPtr<IZelCollection> c;
    ZEL_TRY(QueryAs<IZelCollection>(collection, &c));
    return c->Init();
  };
  hooks.stop_update = [](IDispatch* collection) -> HRESULT {
    ComPtr<IZelCollection> c;
    ZEL_TRY(QueryAs<IZelCollection>(collection, &c));
    return c->StopUpdate();
  };
  RegisterCollectionSlot(kSlotEvents, std::move(hooks));
}

}  // namespace zel
