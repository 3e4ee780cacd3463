// CZelSystemInformation: the server's SystemInformation object, which tells the audio control
// model found in the setup block and whether the host is a home-server edition of its operating
// system (never, on this platform).
//
// The server creates it on first request and keeps it; it reads the server through a back
// pointer that the server clears (Detach) when it goes away, so the object never keeps the
// server alive.
//
// Thread contract: any thread; server_ is atomic.
#pragma once

#include <atomic>

#include "server/interfaces.h"

namespace zel {

class CZelServer;

class CZelSystemInformation final
    : public DispatchImpl<CZelSystemInformation, IZelSystemInformation> {
 public:
  explicit CZelSystemInformation(CZelServer* server) : server_(server) {}

  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IZelSystemInformation, IDispatch>(this, iid, ppv);
  }
  static const MemberTable& Members();

  // acmUnknown without a capability record; E_UNEXPECTED once the server is gone.
  HRESULT get_AudioControlModel(int32_t* model) override;
  // Always false: the home-server suite does not exist on this platform.
  HRESULT get_IsWindowsHomeServer(VariantBool* value) override;

  void Detach() { server_.store(nullptr); }

 private:
  std::atomic<CZelServer*> server_;
};

}  // namespace zel
