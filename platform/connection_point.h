// Connection points: an object's outgoing (event) interface and the sinks clients attach to it.
//
// Sinks are advised and unadvised by cookie, kept in connection order, and called in that order.
// Firing takes a snapshot of the sinks (with a reference each) before calling any of them, so a
// sink may unadvise itself, or advise another, during its call without disturbing the walk.
//
// Thread contract: Advise/Unadvise/Fire are safe from any thread; sinks are called without any
// lock held.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/dispatch.h"
#include "platform/sync.h"

namespace zel {

struct IConnectionPoint : IUnknown {
  static constexpr IID kIid = MakeGuid(0xB196B286, 0xBAB4, 0x101A, 0xB69C00AA00341D07);
  virtual HRESULT GetConnectionInterface(IID* iid) = 0;
  // The sink must answer QueryInterface for the outgoing interface id or for IDispatch;
  // otherwise CONNECT_E_CANNOTCONNECT. Cookies start at 1 and are never 0.
  virtual HRESULT Advise(IUnknown* sink, uint32_t* cookie) = 0;
  // Unknown cookie: CONNECT_E_NOCONNECTION.
  virtual HRESULT Unadvise(uint32_t cookie) = 0;
};

struct IConnectionPointContainer : IUnknown {
  static constexpr IID kIid = MakeGuid(0xB196B284, 0xBAB4, 0x101A, 0xB69C00AA00341D07);
  // Unknown interface: CONNECT_E_NOCONNECTION.
  virtual HRESULT FindConnectionPoint(const IID& iid, IConnectionPoint** point) = 0;
};

// Optional, on objects with a connection point: describes the object's outgoing interface to
// clients that know nothing of it in advance (the client bridge). The member table gives the
// names of the members fired to sinks by dispid; it lives as long as the program.
struct IProvideOutgoingInterface : IUnknown {
  static constexpr IID kIid = MakeGuid(0x5F3C2A71, 0x8E4D, 0x4B19, 0xA6D2E0B4C7193F58);
  virtual HRESULT GetOutgoingInterface(IID* iid, const MemberTable** members) = 0;
};

// A connection point for one outgoing interface, owned by its container object. It forwards its
// reference counting to the container (it lives as long as the container).
class ConnectionPoint final : public IConnectionPoint {
 public:
  ConnectionPoint(IUnknown* container, const IID& outgoing_iid)
      : container_(container), iid_(outgoing_iid) {}

  HRESULT QueryInterface(const IID& iid, void** ppv) override;
  uint32_t AddRef() override { return container_->AddRef(); }
  uint32_t Release() override { return container_->Release(); }
  HRESULT GetConnectionInterface(IID* iid) override;
  HRESULT Advise(IUnknown* sink, uint32_t* cookie) override;
  HRESULT Unadvise(uint32_t cookie) override;

  size_t Count() const;
  // The sinks connected now, in connection order, each with a reference.
  std::vector<ComPtr<IDispatch>> Sinks() const;
  // Calls member `dispid` as a method on every sink in connection order; results are ignored.
  void Fire(DISPID dispid, std::span<const Variant> args);
  // Releases every sink (container shutdown).
  void UnadviseAll();

 private:
  struct Connection {
    uint32_t cookie;
    ComPtr<IDispatch> sink;
  };
  IUnknown* container_;
  IID iid_;
  mutable Mutex mu_;
  std::vector<Connection> sinks_ ZEL_GUARDED_BY(mu_);
  uint32_t next_cookie_ ZEL_GUARDED_BY(mu_) = 1;
};

}  // namespace zel
