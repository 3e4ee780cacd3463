// Delivery of controller events to clients: FireEvent refreshes the part of the object model an
// event concerns, then calls the handlers (general member, then the type's member) and then the
// connected sinks (the same two). Every handler and every sink is called on a delivery lane of its
// own (delivery_lanes.h), so one that blocks delays only its own calls; status and link-state
// changes take the same lanes, so each recipient sees everything in the order it was fired. Also
// the script host's page hooks.
//
// Nothing here holds a lock of the server while a handler, a sink or a collection runs: the
// handler references are copied under mu_, the sinks are snapshotted by the connection point.
#include "events/event_interfaces.h"
#include "model/collection_interfaces.h"
#include "server/delivery_lanes.h"
#include "server/event_routing.h"
#include "server/script_host.h"
#include "server/zel_server.h"

namespace zel {
namespace {

// The collection of a slot as IZelCollection, or null.
ComPtr<IZelCollection> CollectionOf(CZelServer* server, int slot) {
  ComPtr<IDispatch> dispatch;
  if (Failed(server->GetCollection(slot, dispatch.Receive())) || !dispatch) return nullptr;
  ComPtr<IZelCollection> collection;
  if (Failed(QueryAs<IZelCollection>(dispatch.get(), &collection))) return nullptr;
  return collection;
}

// The 1-based position of the element an event property names (through that element's Index);
// 0 when the property cannot be read or names no element of a collection.
uint32_t PositionOfElementNamedBy(IDispatch* event, std::string_view property) {
  Variant value;
  if (Failed(GetProperty(event, property, &value)) || value.vt() != VT_DISPATCH ||
      value.dispatch() == nullptr) {
    return 0;
  }
  Variant index;
  if (Failed(GetProperty(value.dispatch(), "Index", &index))) return 0;
  Variant position;
  if (Failed(ChangeType(index, VT_UI4, &position))) return 0;
  return position.ui4();
}

// Update of one element when the event names it, otherwise TryUpdate of every element.
void RefreshNamedOrAll(CZelServer* server, int slot, IDispatch* event, std::string_view property) {
  ComPtr<IZelCollection> collection = CollectionOf(server, slot);
  if (!collection) return;
  uint32_t position = PositionOfElementNamedBy(event, property);
  if (position != 0) {
    (void)collection->Update(false, position);
  } else {
    (void)collection->TryUpdate(false, kAllElements);
  }
}

void UpdateAll(CZelServer* server, int slot) {
  if (ComPtr<IZelCollection> collection = CollectionOf(server, slot)) {
    (void)collection->Update(false, kAllElements);
  }
}

void RefreshForLogEvent(CZelServer* server, IDispatch* event, int32_t type) {
  switch (LogEventRefresh(type)) {
    case LogRefresh::kAllZones:
      UpdateAll(server, kSlotZones);
      break;
    case LogRefresh::kAreaThenZones:
      RefreshNamedOrAll(server, kSlotAreas, event, "Area");
      UpdateAll(server, kSlotZones);
      break;
    case LogRefresh::kAllMessages:
      if (ComPtr<IZelCollection> messages = CollectionOf(server, kSlotMessages)) {
        (void)messages->TryUpdate(false, kAllElements);
      }
      break;
    case LogRefresh::kNothing:
      break;
  }
}

void RefreshForSystemEvent(CZelServer* server, IDispatch* event, int32_t type) {
  switch (SystemEventRefresh(type)) {
    case SystemRefresh::kZone:
      RefreshNamedOrAll(server, kSlotZones, event, "Zone");
      break;
    case SystemRefresh::kUnit:
      RefreshNamedOrAll(server, kSlotUnits, event, "Unit");
      break;
    case SystemRefresh::kZonesIfNoDelay: {
      Variant delay;
      if (Succeeded(GetProperty(event, "ExitDelay", &delay)) && delay.vt() == VT_I4 &&
          delay.i4() == 0) {
        UpdateAll(server, kSlotZones);
      }
      break;
    }
    case SystemRefresh::kNothing:
      break;
  }
}

// The lanes of the handlers and sinks, shared by every firing of the process: a recipient keeps
// its lane whichever server object or kind of event calls it.
DeliveryLanes& ClientLanes() {
  static DeliveryLanes lanes;
  return lanes;
}

// Calls `member` of `recipient` as a method with the one argument, on the recipient's lane. The
// lane's reference keeps the recipient alive even when it empties its slot or unadvises during
// the call; its result, and anything it throws, is its own business.
void DeliverOnLane(ComPtr<IDispatch> recipient, DISPID member, const Variant& argument) {
  if (!recipient) return;
  const IDispatch* key = recipient.get();
  (void)ClientLanes().Deliver(key, [recipient = std::move(recipient), member, argument] {
    (void)recipient->Invoke(member, DISPATCH_METHOD, {&argument, 1}, nullptr);
  });
}

}  // namespace

void CZelServer::DeliverToHandler(int slot, const Variant& argument) {
  ComPtr<IDispatch> handler;
  {
    MutexLock g(&mu_);
    handler = handlers_[slot];
  }
  DeliverOnLane(std::move(handler), DISPID_VALUE, argument);
}

void CZelServer::DeliverToSinks(DISPID member, const Variant& argument) {
  // A snapshot in connection order: a sink that unadvises (or advises another) during its call
  // does not disturb the walk.
  for (ComPtr<IDispatch>& sink : events_.Sinks()) DeliverOnLane(std::move(sink), member, argument);
}

HRESULT CZelServer::FireEvent(IDispatch* event) {
  if (event == nullptr) return E_POINTER;
  bool log_event = false;
  ComPtr<IZelEvent> log;
  ComPtr<IZelSystemEvent> live;
  if (Succeeded(QueryAs<IZelEvent>(event, &log))) {
    log_event = true;
  } else {
    ZEL_TRY(QueryAs<IZelSystemEvent>(event, &live));
  }
  if (status() != ssInteractive) return E_FAIL;

  Variant type_value;
  HRESULT type_hr = log_event ? log->get_Type(&type_value) : live->get_Type(&type_value);
  if (Failed(type_hr)) return type_hr;
  Variant as_i4;
  int32_t type = Succeeded(ChangeType(type_value, VT_I4, &as_i4)) ? as_i4.i4() : -1;

  if (log_event) {
    RefreshForLogEvent(this, event, type);
  } else {
    RefreshForSystemEvent(this, event, type);
  }

  std::optional<EventMember> general =
      EventMemberNamed(log_event ? kLogGeneralMember : kSystemGeneralMember);
  std::optional<EventMember> specific =
      EventMemberNamed(log_event ? LogEventMember(type) : SystemEventMember(type));
  const Variant argument = Variant::Dispatch(event);
  // Handlers first, then sinks; in each, the general member before the type's. Each recipient
  // answering in time is called in exactly this order; one that blocks gets its calls later, in
  // the same order, on its own lane.
  DeliverToHandler(general->slot, argument);
  if (specific) DeliverToHandler(specific->slot, argument);
  DeliverToSinks(general->sink, argument);
  if (specific) DeliverToSinks(specific->sink, argument);
  return type_hr;
}

// ---- Script host pages ------------------------------------------------------------------------

HRESULT CZelServer::OnStartPage(IUnknown* page) {
  if (page == nullptr) return E_POINTER;
  ComPtr<IScriptingContext> context;
  PageObjects objects;
  bool complete = Succeeded(QueryAs<IScriptingContext>(page, &context)) &&
                  Succeeded(context->get_Application(objects.application.Receive())) &&
                  Succeeded(context->get_Request(objects.request.Receive())) &&
                  Succeeded(context->get_Response(objects.response.Receive())) &&
                  Succeeded(context->get_Server(objects.server.Receive())) &&
                  Succeeded(context->get_Session(objects.session.Receive()));
  if (!complete) {
    (void)OnEndPage();
    return S_OK;
  }
  PageObjects previous;
  {
    MutexLock g(&mu_);
    previous = std::move(page_);
    page_ = std::move(objects);
    page_.started = true;
  }
  return S_OK;  // a page begun twice lets the first page's objects go (here, outside the lock)
}

HRESULT CZelServer::OnEndPage() {
  PageObjects released;
  {
    MutexLock g(&mu_);
    released = std::move(page_);
    page_ = PageObjects{};
  }
  return S_OK;
}

bool CZelServer::page_started() {
  MutexLock g(&mu_);
  return page_.started;
}

}  // namespace zel
