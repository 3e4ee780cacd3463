#include "model/collection_element.h"

#include "model/name_upload.h"
#include "platform/sync.h"
#include "server/zel_server.h"

namespace zel {

HRESULT ElementCore::GetIndex(Variant* index) const {
  if (index == nullptr) return E_POINTER;
  MutexLock g(&fields_mu_);
  *index = Variant::I4(static_cast<int32_t>(index_));
  return S_OK;
}

HRESULT ElementCore::GetID(Variant* id) const {
  if (id == nullptr) return E_POINTER;
  MutexLock g(&fields_mu_);
  *id = Variant::I4(id_);
  return S_OK;
}

HRESULT ElementCore::GetName(BStr* name) const {
  if (name == nullptr) return E_POINTER;
  MutexLock g(&fields_mu_);
  *name = name_;
  return S_OK;
}

HRESULT ElementCore::GetFriendlyName(BStr* name) const {
  if (name == nullptr) return E_POINTER;
  MutexLock g(&fields_mu_);
  *name = friendly_name_.IsNull() ? name_ : friendly_name_;
  return S_OK;
}

HRESULT ElementCore::PutFriendlyName(BStr name) {
  MutexLock g(&fields_mu_);
  // An empty string (or none) leaves no friendly name, so the name shows through again.
  friendly_name_ = name.IsEmpty() ? BStr::Null() : std::move(name);
  return S_OK;
}

HRESULT ElementCore::GetDisplay(VariantBool* display) const {
  if (display == nullptr) return E_POINTER;
  MutexLock g(&fields_mu_);
  display->value = display_;
  return S_OK;
}

HRESULT ElementCore::PutDisplay(VariantBool display) {
  MutexLock g(&fields_mu_);
  display_ = display.value;
  return S_OK;
}

HRESULT ElementCore::UploadName(uint32_t name_type, BStr name) {
  if (name_type == 0) return CO_E_NOT_SUPPORTED;
  uint16_t number = id();
  ComPtr<CZelServer> server = ServerInstance();
  ComPtr<IZelCommHandler> link = server != nullptr ? server->transport() : nullptr;
  // Left to the implementer: Name put sends the given name and, once the controller has
  // acknowledged it, keeps it as the element's Name (a rename, as clients expect).
  ZEL_TRY(zel::UploadName(link.get(), name_type, number, name));
  MutexLock g(&fields_mu_);
  name_ = std::move(name);
  return S_OK;
}

uint16_t ElementCore::id() const {
  MutexLock g(&fields_mu_);
  return id_;
}

uint32_t ElementCore::index() const {
  MutexLock g(&fields_mu_);
  return index_;
}

void ElementCore::MarkRefreshed() {
  refreshed_ns_.store(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::Get()->Now().time_since_epoch())
          .count());
}

HRESULT ElementCore::Age(double* seconds) const {
  if (seconds == nullptr) return E_POINTER;
  *seconds = 0;
  int64_t then = refreshed_ns_.load();
  if (then == kNever) return S_FALSE;
  int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::Get()->Now().time_since_epoch())
          .count();
  // Production seconds: a test clock that runs faster reports the age it stands for.
  double real = static_cast<double>(now - then) / 1e9;
  double unit = static_cast<double>(Clock::Get()->Scaled(Millis(1000)).count()) / 1000.0;
  *seconds = unit > 0 ? real / unit : real;
  return S_OK;
}

}  // namespace zel
