#include "utils/server_extensions.h"

#include <dlfcn.h>

#include <exception>

#include "platform/guid.h"
#include "platform/system_log.h"
#include "platform/variant.h"

namespace zel {

namespace {

void Skip(const std::string& name, HRESULT hr, const std::string& why) {
  ReportEvent(MSG_EXTENSION_SKIPPED, hr, name + ": " + why);
}

// Makes the extension `name` names; on failure *why says what went wrong.
HRESULT CreateExtension(const RegKey& extensions, const std::string& name,
                        ComPtr<IZelServerExtension>* out, std::string* why) {
  GUID clsid;
  if (Failed(ParseGuid(name, &clsid))) {
    *why = "the name is no class id";
    return CO_E_CLASSSTRING;
  }
  RegKey entry;
  std::string library;
  if (HRESULT hr = extensions.Open(name, &entry); Failed(hr)) {
    *why = "the key cannot be opened";
    return hr;
  }
  if (HRESULT hr = entry.QueryString(kExtensionLibraryValue, &library, true); Failed(hr)) {
    *why = "no library is named (value \"Library\")";
    return hr;
  }
  // Never closed: the extension's code runs until the last reference goes.
  void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* error = ::dlerror();
    *why = "the library does not load: " + std::string(error ? error : library);
    return HresultFromWin32(kWin32FileNotFound);
  }
  auto create =
      reinterpret_cast<CreateServerExtensionFn>(::dlsym(handle, kCreateServerExtensionSymbol));
  if (create == nullptr) {
    *why = library + " has no " + kCreateServerExtensionSymbol;
    return E_NOINTERFACE;
  }
  ComPtr<IUnknown> object;
  HRESULT hr;
  try {
    hr = create(kServerExtensionInterfaceVersion, &clsid, object.Receive());
  } catch (const std::exception& e) {
    *why = std::string("the library's factory threw: ") + e.what();
    return E_UNEXPECTED;
  } catch (...) {
    *why = "the library's factory threw";
    return E_UNEXPECTED;
  }
  if (Failed(hr) || !object) {
    *why = "the library's factory failed";
    return Failed(hr) ? hr : E_POINTER;
  }
  if (HRESULT q = object->QueryInterface(IZelServerExtension::kIid, out->ReceiveVoid());
      Failed(q)) {
    *why = "the object is no server extension (wrong interface)";
    return q;
  }
  return S_OK;
}

HRESULT AttachGuarded(IZelServerExtension* extension, IZelServer* server) {
  try {
    return extension->Attach(server);
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace

const MemberTable& CZelServerExtensions::Members() {
  using T = CZelServerExtensions;
  static const MemberTable table =
      MemberTableBuilder<T>("CZelServerExtensions")
          .Get(Role::kRead, "Count", 0x60020000, &T::get_Count)
          .Get(Role::kRead, "_NewEnum", DISPID_NEWENUM, &T::get__NewEnum)
          .Method(Role::kRead, "Item", 0, &T::Item, {"vtIndex", "vtKey?"})
          .Build();
  return table;
}

CZelServerExtensions::~CZelServerExtensions() {
  std::vector<ComPtr<IZelServerExtension>> extensions;
  {
    MutexLock g(&mu_);
    extensions.swap(extensions_);
  }
  for (ComPtr<IZelServerExtension>& extension : extensions) {
    try {
      (void)extension->Detach();
    } catch (...) {
      // An extension's failure to detach is its own; the others still are.
    }
    extension = nullptr;
  }
}

HRESULT CZelServerExtensions::Load(const RegKey& root, IZelServer* server) {
  RegKey extensions;
  ZEL_TRY(root.Open(kServerExtensionsKey, &extensions));
  HRESULT status = S_OK;
  for (uint32_t index = 0;; ++index) {
    std::string name;
    if (Failed(extensions.EnumKey(index, kExtensionNameBuffer, &name))) break;
    ComPtr<IZelServerExtension> extension;
    std::string why;
    if (HRESULT hr = CreateExtension(extensions, name, &extension, &why); Failed(hr)) {
      Skip(name, hr, why);
      status = S_FALSE;
      continue;
    }
    if (HRESULT hr = AttachGuarded(extension.get(), server); Failed(hr)) {
      Skip(name, hr, "the extension did not attach to the server; loading stops");
      status = E_FAIL;
      break;
    }
    MutexLock g(&mu_);
    extensions_.push_back(std::move(extension));
  }
  return status;
}

std::vector<ComPtr<IZelServerExtension>> CZelServerExtensions::Snapshot() {
  MutexLock g(&mu_);
  return extensions_;
}

void CZelServerExtensions::StatusChanged(int32_t status) {
  for (const ComPtr<IZelServerExtension>& extension : Snapshot()) {
    try {
      (void)extension->ServerStatusChanged(status);
    } catch (...) {
      // Results are ignored, and so is an extension that throws.
    }
  }
}

HRESULT CZelServerExtensions::get_Count(int32_t* count) {
  if (count == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  *count = static_cast<int32_t>(extensions_.size());
  return S_OK;
}

HRESULT CZelServerExtensions::get__NewEnum(IUnknown** enumerator) {
  if (enumerator == nullptr) return E_POINTER;
  *enumerator = nullptr;
  return E_NOTIMPL;
}

HRESULT CZelServerExtensions::Item(Variant index, Variant /*key*/, Variant* item) {
  if (item == nullptr) return E_POINTER;
  Variant position;
  if (Failed(ChangeType(index, VT_I4, &position))) return E_INVALIDARG;
  std::vector<ComPtr<IZelServerExtension>> extensions = Snapshot();
  int32_t i = position.i4();
  if (i < 1 || i > static_cast<int32_t>(extensions.size())) return E_INVALIDARG;
  *item = Variant::Dispatch(extensions[static_cast<size_t>(i) - 1].get());
  return S_OK;
}

}  // namespace zel
