// The contract between the server and a server extension: an in-process add-in, built as a
// shared library against these headers, that the server attaches when its Extensions
// collection is made and tells of every change of the server's status.
//
// An extension is listed in the settings registry as a subkey of
//   SOFTWARE\Tamsen\Portico\Server Extensions
// named by its class id in braces ("{...}"), whose value "Library" (REG_SZ) is the shared
// library's path. The library exports
//   extern "C" HRESULT ZelCreateServerExtension(uint32_t interface_version, const GUID* clsid,
//                                               IUnknown** extension);
// which makes the extension of that class id with one reference, or fails (E_NOINTERFACE when it
// does not speak kServerExtensionInterfaceVersion, CLASS_E_CLASSNOTAVAILABLE for a class id it
// does not know). The server queries the object for IZelServerExtension.
//
// Thread contract: Attach and Detach are called once each, on the thread that makes and drops the
// collection; ServerStatusChanged on whichever thread changes the server's status, one call at a
// time per status change. An extension must not call back into Start or Stop from them.
#pragma once

#include <cstdint>

#include "link/comm_handler.h"
#include "platform/dispatch.h"
#include "server/interfaces.h"

namespace zel {

// Class numbers 0x30 to 0x3F are the utilities' (the transports took 0x20 to 0x24 first).
inline constexpr uint32_t kServerExtensionInterfaceVersion = 1;
inline constexpr const char* kCreateServerExtensionSymbol = "ZelCreateServerExtension";

class IZelServerExtension : public IDispatch {
 public:
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x32);
  // The extension's own two methods; the server never calls them.
  virtual HRESULT get_Name(BStr* name) = 0;
  virtual HRESULT get_Description(BStr* description) = 0;
  // Attaches the extension to the server (null when there is no server object). A negative
  // status rejects the server: the extension is released and loading stops.
  virtual HRESULT Attach(IZelServer* server) = 0;
  // The server's new status (a ServerStatus value). The result is ignored.
  virtual HRESULT ServerStatusChanged(int32_t status) = 0;
  // Before the extension is released with the collection.
  virtual HRESULT Detach() = 0;
};

// A base for extensions that describe no members to clients (the bridge refuses to invoke such
// objects): reference counting, the interface queries and the empty dispatch, all in this header
// so an extension library links nothing of the server's.
class ServerExtensionBase : public IZelServerExtension {
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IZelServerExtension, IDispatch>(this, iid, ppv);
  }
  HRESULT GetIDOfName(std::string_view, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID, uint16_t, std::span<const Variant>, Variant*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
};

using CreateServerExtensionFn = HRESULT (*)(uint32_t interface_version, const GUID* clsid,
                                            IUnknown** extension);

}  // namespace zel
