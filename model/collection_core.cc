#include "model/collection_core.h"

#include <system_error>

#include "link/link_health.h"
#include "link/request.h"
#include "model/name_records.h"
#include "model/update_thread.h"
#include "platform/property_bag.h"
#include "platform/sync.h"
#include "platform/text_encoding.h"
#include "server/zel_server.h"

namespace zel {
namespace {

// The server's empty element as Item's answer for a miss.
HRESULT ReturnEmptyElement(Variant* item) {
  ComPtr<IDispatch> empty;
  if (ComPtr<CZelServer> server = ServerInstance()) (void)server->GetEmptyElement(empty.Receive());
  *item = Variant::Dispatch(empty.get());
  return S_FALSE;
}

}  // namespace

HRESULT ElementId(IDispatch* element, uint16_t* id) {
  ComPtr<IZelCollectionElement> e;
  if (Failed(QueryAs<IZelCollectionElement>(element, &e))) return E_UNEXPECTED;
  Variant v;
  ZEL_TRY(e->get_ID(&v));
  *id = static_cast<uint16_t>(v.i4());
  return S_OK;
}

CollectionCore::CollectionCore(const CollectionTraits& traits) : traits_(traits) {
  interval_ = traits_.initial_interval != nullptr ? traits_.initial_interval() : Variant::UI4(0);
}

CollectionCore::~CollectionCore() {
  // Only the update thread itself can drop the last reference while it runs (it holds one):
  // it cannot wait for itself, so it is let go and ends on its own.
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  (void)RemoveAll(false);
}

// ---- ICollection ------------------------------------------------------------------------------

HRESULT CollectionCore::CountImpl(int32_t* count) const {
  if (count == nullptr) return E_POINTER;
  MutexLock g(&list_mu_);
  *count = static_cast<int32_t>(elements_.size());
  return S_OK;
}

HRESULT CollectionCore::NewEnumImpl(IUnknown** enumerator) const {
  if (enumerator == nullptr) return E_POINTER;
  *enumerator = nullptr;
  return E_NOTIMPL;
}

HRESULT CollectionCore::ItemImpl(const Variant& index, const Variant& key, Variant* item) const {
  if (item == nullptr) return E_FAIL;
  std::vector<ComPtr<IDispatch>> elements = Elements();
  if (elements.empty()) return ReturnEmptyElement(item);

  // By ID: the key replaces the position.
  if (key.vt() != VT_ERROR) {
    Variant wanted;
    if (Failed(ChangeType(key, VT_I4, &wanted))) return ReturnEmptyElement(item);
    for (const ComPtr<IDispatch>& e : elements) {
      uint16_t id = 0;
      if (Succeeded(ElementId(e.get(), &id)) && id == wanted.i4()) {
        *item = Variant::Dispatch(e.get());
        return S_OK;
      }
    }
    return ReturnEmptyElement(item);
  }

  // By name, ASCII letters compared without case; the friendly name is not searched.
  if (index.vt() == VT_BSTR) {
    for (const ComPtr<IDispatch>& e : elements) {
      ComPtr<IZelCollectionElement> element;
      if (Failed(QueryAs<IZelCollectionElement>(e.get(), &element))) continue;
      BStr name;
      if (Succeeded(element->get_Name(&name)) &&
          EqualsIgnoreAsciiCase(name.str(), index.bstr().str())) {
        *item = Variant::Dispatch(e.get());
        return S_OK;
      }
    }
    return ReturnEmptyElement(item);
  }

  // By 1-based position.
  Variant position;
  if (Failed(ChangeType(index, VT_UI4, &position)) || position.ui4() == 0 ||
      position.ui4() > elements.size()) {
    return ReturnEmptyElement(item);
  }
  *item = Variant::Dispatch(elements[position.ui4() - 1].get());
  return S_OK;
}

// ---- Interval and thread ----------------------------------------------------------------------

HRESULT CollectionCore::PutUpdateIntervalImpl(const Variant& interval) {
  // Stored as given; a running thread picks it up after its current wait.
  MutexLock g(&list_mu_);
  interval_ = interval;
  return S_OK;
}

HRESULT CollectionCore::GetUpdateIntervalImpl(Variant* interval) const {
  if (interval == nullptr) return E_POINTER;
  MutexLock g(&list_mu_);
  *interval = interval_;
  return S_OK;
}

HRESULT CollectionCore::GetThreadTermEventImpl(Variant* handle) const {
  if (handle == nullptr) return E_POINTER;
  std::shared_ptr<ManualResetEvent> event = term_event();
  *handle = Variant::UI8(reinterpret_cast<uintptr_t>(event.get()));
  return S_OK;
}

std::shared_ptr<ManualResetEvent> CollectionCore::term_event() const {
  MutexLock g(&list_mu_);
  return term_event_;
}

bool CollectionCore::HasUpdateThread() {
  MutexLock g(&start_stop_mu_);
  return thread_finished_ != nullptr;
}

HRESULT CollectionCore::InitImpl() {
  MutexLock g(&start_stop_mu_);
  // The first state is loaded silently, waiting for a pass that may be running.
  HRESULT hr = Self()->Update(false, kAllElements);
  // The connected controller has no objects of this kind: nothing to poll.
  if (hr == CO_E_NOT_SUPPORTED) return S_FALSE;
  Variant interval;
  if (Failed(GetUpdateIntervalImpl(&interval))) return S_OK;
  if (interval.IsEmpty() || (interval.vt() == VT_UI4 && interval.ui4() == 0)) return S_OK;
  return StartUpdateThread();
}

HRESULT CollectionCore::StartUpdateThread() {
  if (thread_finished_ != nullptr) {
    if (!thread_finished_->IsSet()) return S_FALSE;
    // The thread ended on its own (an interval that is no number, no server left): it is joined
    // and a new one starts.
    thread_.join();
    thread_finished_.reset();
  }
  auto stop = std::make_shared<ManualResetEvent>(false);
  auto finished = std::make_shared<ManualResetEvent>(false);
  ComPtr<IZelCollection> self(Self());
  try {
    thread_ = std::thread(RunUpdateThread, std::move(self), stop, finished);
  } catch (const std::system_error& e) {
    return HresultFromErrno(e.code().value());
  }
  thread_finished_ = std::move(finished);
  MutexLock g(&list_mu_);
  term_event_ = std::move(stop);
  return S_OK;
}

HRESULT CollectionCore::StopUpdateImpl() {
  MutexLock g(&start_stop_mu_);
  std::shared_ptr<ManualResetEvent> stop = term_event();
  if (thread_finished_ != nullptr) {
    if (stop) stop->Set();
    if (thread_finished_->WaitFor(kStopWait)) {
      thread_.join();
    } else {
      // A thread stuck in an exchange is abandoned, never killed: it ends after its exchange,
      // holding its own reference to this collection until then.
      thread_.detach();
    }
    thread_finished_.reset();
  }
  MutexLock list(&list_mu_);
  term_event_.reset();
  return S_OK;
}

// ---- Updates ----------------------------------------------------------------------------------

HRESULT CollectionCore::TryUpdateImpl(bool fire_events, uint32_t index) {
  return UpdateElements(fire_events, index, true);
}

HRESULT CollectionCore::UpdateImpl(bool fire_events, uint32_t index) {
  return UpdateElements(fire_events, index, false);
}

HRESULT CollectionCore::UpdateElements(bool /*fire_events*/, uint32_t index, bool try_only) {
  if (Elements().empty()) return S_OK;
  if (index != kAllElements) {
    // One element: no update mutex.
    ComPtr<IDispatch> element = ElementAt(index);
    if (!element) return E_INVALIDARG;
    uint16_t id = 0;
    ZEL_TRY(ElementId(element.get(), &id));
    return UpdateElement(id, element.get());
  }
  if (try_only) {
    // A pass is running already: this one is skipped.
    if (!update_mu_.TryLock()) return S_OK;
  } else {
    update_mu_.Lock();
  }
  HRESULT hr = S_OK;
  // The result of the last element is the result of the pass; earlier failures do not stop it,
  // except on a link that is down (beyond the contract): there the rest would fail the same way,
  // each after a receive time-out, and hold the link from the re-login that brings it back.
  for (const ComPtr<IDispatch>& element : Elements()) {
    uint16_t id = 0;
    hr = ElementId(element.get(), &id);
    if (Succeeded(hr)) hr = UpdateElement(id, element.get());
    if (Failed(hr) && LinkHealth::Process().Now().state == LinkState::kDown) break;
  }
  update_mu_.Unlock();
  return hr;
}

HRESULT CollectionCore::BuildStatusRequest(uint8_t* message_type) {
  if (traits_.status_message == 0) return S_FALSE;
  *message_type = traits_.status_message;
  return S_OK;
}

HRESULT CollectionCore::BuildStatusRequestLong(uint8_t* message_type) {
  if (traits_.status_message == 0 || !traits_.long_numbers) return S_FALSE;
  *message_type = traits_.status_message;
  return S_OK;
}

bool CollectionCore::StopRequested() const {
  std::shared_ptr<ManualResetEvent> stop = term_event();
  return stop && stop->IsSet();
}

HRESULT CollectionCore::UpdateElement(uint16_t number, IDispatch* element) {
  if (element == nullptr) return E_POINTER;
  if (StopRequested()) return S_FALSE;
  uint8_t type = 0;
  HRESULT hr = number < 256 ? BuildStatusRequest(&type) : BuildStatusRequestLong(&type);
  if (hr != S_OK) return S_FALSE;
  // The transport is held for the exchange, the server only to find it: an exchange that blocks
  // (and a thread that StopUpdate gave up on) never keeps the server alive.
  ComPtr<IZelCommHandler> link;
  if (ComPtr<CZelServer> server = ServerInstance()) link = server->transport();
  ReplyBuffer reply;
  hr = SendItemRequest(link.get(), true, type, number, &reply);
  // A failed exchange leaves the element's last status; S_FALSE: no such object.
  if (hr != S_OK) return hr;
  ComPtr<IPersistMemory> memory;
  ZEL_TRY(QueryAs<IPersistMemory>(element, &memory));
  return memory->Load(reply.get() + 3, reply.get()[1]);
}

// ---- Adding and creating ------------------------------------------------------------------

HRESULT CollectionCore::AddImpl(const Variant& item, const Variant& /*key*/) {
  if (item.vt() != VT_DISPATCH || item.dispatch() == nullptr) return E_INVALIDARG;
  MutexLock pass(&update_mu_);
  ComPtr<IZelCollectionElement> element;
  ComPtr<IPersistPropertyBag> persist;
  IDispatch* dispatch = item.dispatch();
  if (Succeeded(QueryAs<IZelCollectionElement>(dispatch, &element)) &&
      Succeeded(QueryAs<IPersistPropertyBag>(dispatch, &persist))) {
    // The element learns its position (Index) from a bag, as every other value.
    size_t count = 0;
    {
      MutexLock g(&list_mu_);
      count = elements_.size();
    }
    ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
    (void)bag->Write("INDEX", Variant::I4(static_cast<int32_t>(count + 1)));
    (void)persist->Load(bag.get());
  }
  MutexLock g(&list_mu_);
  elements_.push_back(ComPtr<IDispatch>(dispatch));
  return S_OK;
}

HRESULT CollectionCore::NewImpl(const BStr& name, const Variant& id, Variant* item) {
  if (item == nullptr) return E_POINTER;
  item->Clear();
  Variant number;
  ZEL_TRY(ChangeType(id, VT_I4, &number));
  NameRecord record{traits_.object_type, static_cast<uint16_t>(number.i4()),
                    Utf8ToLatin1(name.str())};
  ComPtr<IDispatch> created;
  ZEL_TRY(ApplyNameRecord(&record, kNamesVersion2, created.Receive()));
  // A record applied without an element (an area beyond those in use): nothing to name.
  if (!created) return S_FALSE;
  *item = Variant::Dispatch(created.get());
  ComPtr<IZelCollectionElement> element;
  ZEL_TRY(QueryAs<IZelCollectionElement>(created.get(), &element));
  ZEL_TRY(element->put_Name(name));
  uint16_t element_id = 0;
  ZEL_TRY(ElementId(created.get(), &element_id));
  return UpdateElement(element_id, created.get());
}

HRESULT CollectionCore::RemoveAll(bool lock) {
  auto release = [this] {
    std::vector<ComPtr<IDispatch>> released;
    {
      MutexLock g(&list_mu_);
      released.swap(elements_);
    }
    // Released outside the list lock: an element's destructor may reach other objects.
    released.clear();
  };
  if (lock) {
    MutexLock pass(&update_mu_);
    release();
  } else {
    release();
  }
  return S_OK;
}

void CollectionCore::AppendStamped(IDispatch* element,
                                   const std::function<void(uint32_t position)>& stamp) {
  MutexLock g(&list_mu_);
  stamp(static_cast<uint32_t>(elements_.size() + 1));
  elements_.push_back(ComPtr<IDispatch>(element));
}

// ---- Snapshots ----------------------------------------------------------------------------

std::vector<ComPtr<IDispatch>> CollectionCore::Elements() const {
  MutexLock g(&list_mu_);
  return elements_;
}

ComPtr<IDispatch> CollectionCore::ElementAt(uint32_t position) const {
  MutexLock g(&list_mu_);
  if (position == 0 || position > elements_.size()) return nullptr;
  return elements_[position - 1];
}

}  // namespace zel
