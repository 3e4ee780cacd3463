// CZelCommHandlers: the transport catalogue. Lists the transport classes registered under the
// settings registry's catalogue key (one subkey per class, named by its braced class id), so a
// front end can show them by name and hand the chosen one to the server's
// CommunicationsHandler. Each transport class has one instance per process, so the transport a
// client picks here is the very object the server holds.
//
// Thread contract: the list is built once, at creation, and read-only after that; any thread
// may call the members.
#pragma once

#include <vector>

#include "link/comm_handler.h"
#include "platform/dispatch.h"
#include "platform/settings_registry.h"

namespace zel {

inline constexpr CLSID kClsidZelCommHandlers = ZelClassId(kIdCoclass, 0x22);
inline constexpr std::string_view kProgIdZelCommHandlers = "Corvane.ZelCommHandlers";
inline constexpr std::string_view kCommHandlersKey = "SOFTWARE\\Tamsen\\Portico\\Comm Handlers";
// The longest subkey name the catalogue reads, terminator included.
inline constexpr size_t kCommHandlerNameChars = 256;

// Dispids of the catalogue's members (those of every collection).
inline constexpr DISPID kDispidCommHandlersCount = 0x60020000;
inline constexpr DISPID kDispidCommHandlersItem = DISPID_VALUE;

struct IZelCommHandlers : IDispatch {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x22);
  virtual HRESULT get_Count(int32_t* count) = 0;
  virtual HRESULT get__NewEnum(IUnknown** enumerator) = 0;
  virtual HRESULT Item(Variant index, Variant key, Variant* item) = 0;
};

class CZelCommHandlers final : public DispatchImpl<CZelCommHandlers, IZelCommHandlers> {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IZelCommHandlers, IDispatch>(this, iid, ppv);
  }
  static const MemberTable& Members();

  // Builds a catalogue from the catalogue key under `root`. A missing key fails with the
  // registry's code (0x80070002). Subkeys that are not class ids are passed over; a class that
  // cannot be created ends the listing there (the catalogue keeps what it has).
  static HRESULT Create(const RegKey& root, ComPtr<CZelCommHandlers>* out);

  HRESULT get_Count(int32_t* count) override;
  // The catalogue cannot be enumerated with for-each: E_NOTIMPL.
  HRESULT get__NewEnum(IUnknown** enumerator) override;
  // By one-based number, or by display name (a string, letter case ignored); `key` is ignored.
  HRESULT Item(Variant index, Variant key, Variant* item) override;

 private:
  std::vector<ComPtr<IZelCommHandler>> transports_;
};

// Registers the catalogue class (not a singleton: each creation reads the registry afresh).
void RegisterCommHandlersClass();

// Writes the catalogue entries of this program's two transports under `root` ("Serial" and
// "Network" as the subkeys' default values), replacing entries that exist, as installation does.
HRESULT RegisterTransportEntries(const RegKey& root);
// Deletes them again, leaving the catalogue key in place.
HRESULT UnregisterTransportEntries(const RegKey& root);

}  // namespace zel
