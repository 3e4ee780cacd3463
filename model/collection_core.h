// CollectionCore: the state and the algorithms every object-model collection shares, kept out of
// the template (collection.h) so they are compiled once. It holds the elements in order, the
// update interval, the update thread with its terminate event, and the locks; it finds elements
// (Item), adds and creates them (Add, New), runs updates (one element, or a whole pass under the
// update mutex) and starts and stops the update thread (update_thread.h runs it).
//
// Hooks a collection class may replace (virtual, in this order): GetXMLTag,
// BuildStatusRequest, BuildStatusRequestLong, RemoveAll, StartUpdateThread, UpdateElements,
// UpdateElement. Areas, messages and audio sources replace UpdateElement (areas also
// UpdateElements) with their own poll.
//
// Thread contract: free-threaded; client threads and the update thread call in at once.
//   - list_mu_ guards elements_, interval_ and term_event_. It is held only to copy or change
//     them, never while calling an element, the transport or the server, so readers (Count,
//     Item) never wait for a poll.
//   - update_mu_ serialises whole-collection passes, Add and RemoveAll; TryUpdate skips a pass
//     when it is busy. Single-element updates do not take it.
//   - start_stop_mu_ serialises Init (with its first update) and StopUpdate, and guards the
//     thread bookkeeping (thread_, thread_finished_).
//   Lock order: start_stop_mu_, then update_mu_, then list_mu_.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "model/collection_interfaces.h"
#include "platform/sync.h"

namespace zel {

// What distinguishes one collection class from another.
struct CollectionTraits {
  std::string_view type_name;  // "CZelZones"
  uint32_t object_type = 0;    // the name type of the elements (0: no names of their own)
  CLSID element_clsid;         // the class New and the names create (units: by the unit type rule)
  std::string_view xml_tag;    // "ZONES"
  uint8_t status_message = 0;  // the status request's message type; 0: not polled generically
  bool long_numbers = false;   // numbers from 256 use the 9-byte request
  Variant (*initial_interval)() = nullptr;  // the constructor's UpdateInterval
};

// The ID of an element (E_UNEXPECTED for an object that is not one).
HRESULT ElementId(IDispatch* element, uint16_t* id);

class CollectionCore {
 public:
  // How long StopUpdate waits for the thread before abandoning it.
  static constexpr Millis kStopWait{30000};

  explicit CollectionCore(const CollectionTraits& traits);
  virtual ~CollectionCore();
  CollectionCore(const CollectionCore&) = delete;
  CollectionCore& operator=(const CollectionCore&) = delete;

  const CollectionTraits& traits() const { return traits_; }

  // ---- Bodies of the ICollection and IZelCollection members ----
  HRESULT CountImpl(int32_t* count) const;
  HRESULT NewEnumImpl(IUnknown** enumerator) const;
  HRESULT ItemImpl(const Variant& index, const Variant& key, Variant* item) const;
  HRESULT PutUpdateIntervalImpl(const Variant& interval);
  HRESULT GetUpdateIntervalImpl(Variant* interval) const;
  HRESULT GetThreadTermEventImpl(Variant* handle) const;
  HRESULT InitImpl();
  HRESULT TryUpdateImpl(bool fire_events, uint32_t index);
  HRESULT UpdateImpl(bool fire_events, uint32_t index);
  HRESULT StopUpdateImpl();
  HRESULT AddImpl(const Variant& item, const Variant& key);
  HRESULT NewImpl(const BStr& name, const Variant& id, Variant* item);

  // ---- Hooks ----
  virtual std::string_view GetXMLTag() { return traits_.xml_tag; }
  // The message type of the 7-byte status request (one-byte numbers), or S_FALSE to decline.
  virtual HRESULT BuildStatusRequest(uint8_t* message_type);
  // The same for the 9-byte request (numbers from 256).
  virtual HRESULT BuildStatusRequestLong(uint8_t* message_type);
  // Releases every element; takes the update mutex when `lock`.
  virtual HRESULT RemoveAll(bool lock);
  // S_FALSE when a thread runs already. REQUIRES: start_stop_mu_ held (Init holds it).
  virtual HRESULT StartUpdateThread() ZEL_REQUIRES(start_stop_mu_);
  // The body of Update (try_only false) and TryUpdate (true).
  virtual HRESULT UpdateElements(bool fire_events, uint32_t index, bool try_only);
  // The generic poll of one element: status request, NAK = no such object (S_FALSE), otherwise
  // the reply data go to the element's IPersistMemory::Load.
  virtual HRESULT UpdateElement(uint16_t number, IDispatch* element);

  // ---- For the class code and tests ----
  // The elements as they stand (one reference each).
  std::vector<ComPtr<IDispatch>> Elements() const;
  // The element at a 1-based position, or null.
  ComPtr<IDispatch> ElementAt(uint32_t position) const;
  // True while an update thread exists (started and not yet stopped).
  bool HasUpdateThread();
  // Appends an element under the list lock; `stamp` runs first, under that lock, with the
  // element's 1-based position, so positions follow the order of appends. It may only set
  // fields of the element (no calls to the server, a collection or the transport).
  void AppendStamped(IDispatch* element, const std::function<void(uint32_t position)>& stamp);

 protected:
  // The collection object itself (the template answers).
  virtual IZelCollection* Self() = 0;
  // True once StopUpdate has signalled the update thread to end: polls send nothing more.
  bool StopRequested() const;

 private:
  std::shared_ptr<ManualResetEvent> term_event() const;

  const CollectionTraits& traits_;

  mutable Mutex list_mu_;
  std::vector<ComPtr<IDispatch>> elements_ ZEL_GUARDED_BY(list_mu_);
  Variant interval_ ZEL_GUARDED_BY(list_mu_);
  std::shared_ptr<ManualResetEvent> term_event_ ZEL_GUARDED_BY(list_mu_);

  Mutex update_mu_;

  Mutex start_stop_mu_;
  std::thread thread_ ZEL_GUARDED_BY(start_stop_mu_);
  std::shared_ptr<ManualResetEvent> thread_finished_ ZEL_GUARDED_BY(start_stop_mu_);
};

}  // namespace zel
