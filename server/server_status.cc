// Status changes and their delivery to clients: the thread's error information on a failure,
// the OnServerStatusChange handler, the connected _DZelServerEvents sinks and the extensions.
// Also the 25 handler slots and the server's connection point.
#include "platform/error_info.h"
#include "platform/resource_library.h"
#include "platform/sync.h"
#include "server/server_log_hook.h"
#include "server/zel_server.h"

namespace zel {

void CZelServer::RecordFailure(HRESULT code) {
  last_failure_.store(code);
  SetErrorInfo(ErrorInfo{std::string(kProgIdZelServer), IZelServer::kIid,
                         MessageText(static_cast<uint32_t>(code)), code});
}

void CZelServer::ChangeStatus(ServerStatus status, HRESULT code) {
  status_.store(status);
  if (status == ssFailure) {
    RecordFailure(code);
    WriteServerLog("ZelCommSrv", "Server", "The server failed", code);
  }
  DeliverStatus(status);
}

void CZelServer::DeliverStatus(ServerStatus status) {
  const Variant argument = Variant::I4(status);

  // The script handler first: its default member (dispid 0) as a method; the result is ignored.
  DeliverToHandler(kHandlerSlotServerStatusChange, argument);

  // Then every connected sink, in connection order.
  DeliverToSinks(kDispidSinkOnServerStatusChange, argument);

  // Then the extensions, if their collection exists.
  ComPtr<IDispatch> extensions;
  {
    MutexLock g(&slots_mu_);
    extensions = slots_[kSlotExtensions];
  }
  if (extensions) {
    std::optional<CollectionSlotHooks> hooks = FindCollectionSlot(kSlotExtensions);
    if (hooks && hooks->status_changed) hooks->status_changed(extensions.get(), status);
  }
}

HRESULT CZelServer::PutHandler(int slot, const Variant& handler) {
  if (slot < 0 || slot >= kHandlerSlotCount) return E_INVALIDARG;
  // A dispatch reference (possibly null) or the automation null; anything else leaves the
  // slot as it is.
  if (handler.vt() != VT_DISPATCH && handler.vt() != VT_NULL) return E_UNEXPECTED;
  ComPtr<IDispatch> old;
  {
    MutexLock g(&mu_);
    old = std::move(handlers_[slot]);
  }
  // The old handler is released before the new one is kept, outside the lock: its release may
  // run client code, and whatever that throws is not the caller's concern.
  try {
    old.reset();
  } catch (...) {
  }
  if (handler.vt() == VT_DISPATCH && handler.dispatch() != nullptr) {
    MutexLock g(&mu_);
    handlers_[slot] = ComPtr<IDispatch>(handler.dispatch());
  }
  return S_OK;
}

HRESULT CZelServer::get_EventConnections(Variant* count) {
  if (count == nullptr) return E_POINTER;
  *count = Variant::I4(static_cast<int32_t>(events_.Count()));
  return S_OK;
}

HRESULT CZelServer::FindConnectionPoint(const IID& iid, IConnectionPoint** point) {
  if (point == nullptr) return E_POINTER;
  *point = nullptr;
  if (iid != kIidDZelServerEvents) return CONNECT_E_NOCONNECTION;
  events_.AddRef();
  *point = &events_;
  return S_OK;
}

}  // namespace zel
