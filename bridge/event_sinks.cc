#include "bridge/event_sinks.h"

#include "platform/sync.h"

namespace zel::bridge {

EventSink::EventSink(std::shared_ptr<EventQueue> queue, const IID& outgoing,
                     const MemberTable* members, std::string interface_name, std::string source)
    : queue_(std::move(queue)),
      outgoing_(outgoing),
      members_(members),
      interface_name_(std::move(interface_name)),
      source_(std::move(source)) {}

HRESULT EventSink::QueryInterface(const IID& iid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  // The outgoing interface is answered by the same dispatch implementation.
  if (iid == IUnknown::kIid || iid == IDispatch::kIid || iid == outgoing_) {
    AddRef();
    *ppv = static_cast<IDispatch*>(this);
    return S_OK;
  }
  return E_NOINTERFACE;
}

HRESULT EventSink::GetIDOfName(std::string_view name, DISPID* dispid) {
  if (dispid == nullptr) return E_POINTER;
  if (members_ == nullptr) return DISP_E_UNKNOWNNAME;
  return members_->GetIDOfName(name, dispid);
}

HRESULT EventSink::Invoke(DISPID dispid, uint16_t /*flags*/, std::span<const Variant> args,
                          Variant* result) {
  BridgeEvent event;
  event.interface_name = interface_name_;
  event.dispid = dispid;
  const MemberInfo* member = members_ ? members_->FindById(dispid) : nullptr;
  event.member = member ? member->name : "#" + std::to_string(dispid);
  event.source = source_;
  event.args.assign(args.begin(), args.end());
  queue_->Push(std::move(event));
  if (result != nullptr) result->Clear();
  return S_OK;
}

CallbackHandler::CallbackHandler(std::shared_ptr<EventQueue> queue, std::string name)
    : queue_(std::move(queue)), name_(std::move(name)) {}

HRESULT CallbackHandler::GetIDOfName(std::string_view /*name*/, DISPID* dispid) {
  if (dispid == nullptr) return E_POINTER;
  *dispid = DISPID_UNKNOWN;
  return DISP_E_UNKNOWNNAME;
}

HRESULT CallbackHandler::Invoke(DISPID dispid, uint16_t /*flags*/, std::span<const Variant> args,
                                Variant* result) {
  // Only the default member exists: it is what the server calls.
  if (dispid != DISPID_VALUE) return DISP_E_MEMBERNOTFOUND;
  BridgeEvent event;
  event.interface_name = kCallbackInterface;
  event.member = name_;
  event.dispid = DISPID_VALUE;
  {
    MutexLock g(&mu_);
    event.source = source_;
  }
  event.args.assign(args.begin(), args.end());
  queue_->Push(std::move(event));
  if (result != nullptr) result->Clear();
  return S_OK;
}

void CallbackHandler::set_source(std::string handle) {
  MutexLock g(&mu_);
  source_ = std::move(handle);
}

}  // namespace zel::bridge
