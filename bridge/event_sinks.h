// The two kinds of objects through which the server's calls become events of one client session:
//
//   EventSink        advised on an object's connection point for its outgoing interface; every
//                    member the object fires becomes an event named after that member.
//   CallbackHandler  a handler object a client hands to a property such as OnServerStatusChange;
//                    the server invokes its default member (dispid 0), and each invocation
//                    becomes an event named as the client named the handler.
//
// Both only append to the session's EventQueue, so the firing thread never waits for a client.
// After the session ends the queue is closed and further calls are ignored (the server may still
// hold the handler).
//
// Thread contract: Invoke may run on any thread, concurrently; the fields are set at creation.
#pragma once

#include <memory>
#include <string>

#include "bridge/event_queue.h"
#include "platform/connection_point.h"
#include "platform/dispatch.h"
#include "platform/sync.h"

namespace zel::bridge {

class EventSink final : public IDispatch {
  ZEL_IMPLEMENT_REFCOUNT()

 public:
  // outgoing: the interface id the sink answers; members: its table (may be null); source: the
  // handle of the object advised on.
  EventSink(std::shared_ptr<EventQueue> queue, const IID& outgoing, const MemberTable* members,
            std::string interface_name, std::string source);

  HRESULT QueryInterface(const IID& iid, void** ppv) override;
  HRESULT GetIDOfName(std::string_view name, DISPID* dispid) override;
  HRESULT Invoke(DISPID dispid, uint16_t flags, std::span<const Variant> args,
                 Variant* result) override;
  std::string_view GetTypeName() const override { return "BridgeEventSink"; }

 private:
  std::shared_ptr<EventQueue> queue_;
  IID outgoing_;
  const MemberTable* members_;
  std::string interface_name_;
  std::string source_;
};

class CallbackHandler final : public IDispatch {
  ZEL_IMPLEMENT_REFCOUNT()

 public:
  explicit CallbackHandler(std::shared_ptr<EventQueue> queue, std::string name);

  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch>(this, iid, ppv);
  }
  HRESULT GetIDOfName(std::string_view name, DISPID* dispid) override;
  HRESULT Invoke(DISPID dispid, uint16_t flags, std::span<const Variant> args,
                 Variant* result) override;
  std::string_view GetTypeName() const override { return "BridgeCallback"; }

  // The handle the session gave this handler (set once, right after creation).
  void set_source(std::string handle);

 private:
  std::shared_ptr<EventQueue> queue_;
  std::string name_;
  Mutex mu_;
  std::string source_ ZEL_GUARDED_BY(mu_);
};

// The event interface name used for callback handler invocations.
inline constexpr const char* kCallbackInterface = "callback";

}  // namespace zel::bridge
