// Login and Logout of web clients: a user name and a controller user code checked against the
// Codes collection's names and the user codes of the downloaded setup block, and the sessions
// that a success opens (server/client_sessions.h).
#include <string>

#include "model/collection_interfaces.h"
#include "platform/error_info.h"
#include "platform/text_encoding.h"
#include "platform/variant.h"
#include "server/server_log_hook.h"
#include "server/zel_server.h"

namespace zel {
namespace {

// Code elements numbered 250 and above are the controller's built-in codes: never a person.
constexpr int32_t kFirstBuiltInCode = 250;
// The models with a system user (model indexes 9 and 10) log in with no arguments as it.
constexpr std::string_view kSystemUser = "SYSTEM";
constexpr std::string_view kSystemCode = "8461";
// Names longer than this are shortened in the server log.
constexpr size_t kLoggedNameLength = 64;

bool ToText(const Variant& v, std::string* out) {
  Variant text;
  if (Failed(ChangeType(v, VT_BSTR, &text))) return false;
  *out = text.bstr().str();
  return true;
}

// The refusal's server-log entry names the user (never the code).
void LogRefusal(const std::string& user, HRESULT hr) {
  std::string shown =
      user.size() > kLoggedNameLength
          ? user.substr(0, kLoggedNameLength) + "... (" + std::to_string(user.size()) + " bytes)"
          : user;
  WriteServerLog("ZelCommSrv", "Login", "Client login refused for user \"" + shown + "\"", hr);
}

}  // namespace

HRESULT CZelServer::CheckUserCode(const std::string& user, const std::string& code) {
  ComPtr<IDispatch> codes_dispatch;
  if (Failed(GetCollection(kSlotCodes, codes_dispatch.Receive()))) return E_SRV_LOGIN_DENIED;
  ComPtr<ICollection> codes;
  int32_t count = 0;
  if (Failed(QueryAs<ICollection>(codes_dispatch.get(), &codes)) ||
      Failed(codes->get_Count(&count))) {
    return E_SRV_LOGIN_DENIED;
  }
  const CapabilityRecord* caps = capabilities();
  const int user_codes = caps != nullptr ? caps->Byte(kCapUserCodeCount) : 0;
  for (int32_t i = 1; i <= count; ++i) {
    Variant item;
    if (codes->Item(Variant::I4(i), Variant::Missing(), &item) != S_OK) continue;
    ComPtr<IZelCollectionElement> element;
    if (item.vt() != VT_DISPATCH ||
        Failed(QueryAs<IZelCollectionElement>(item.dispatch(), &element))) {
      continue;
    }
    Variant id_value;
    if (Failed(element->get_ID(&id_value)) || id_value.vt() != VT_I4) continue;
    const int32_t id = id_value.i4();
    if (id >= kFirstBuiltInCode) continue;
    BStr name;
    if (Failed(element->get_Name(&name)) || !EqualsIgnoreAsciiCase(name.str(), user)) continue;
    if (id < 1 || id > user_codes) continue;
    Variant stored;
    if (Failed(SystemParameter(static_cast<uint32_t>(id - 1) << 16 | kParamUserCode, &stored))) {
      continue;
    }
    std::string stored_text;
    if (ToText(stored, &stored_text) && stored_text == code) return S_OK;
  }
  return E_SRV_LOGIN_DENIED;
}

HRESULT CZelServer::Login(Variant user, Variant code, Variant* cookie) {
  if (cookie == nullptr) return E_POINTER;
  cookie->Clear();
  std::string user_text, code_text, cookie_text;
  HRESULT hr;
  if (user.IsMissing() && code.IsMissing() && (model_index() == 9 || model_index() == 10)) {
    user_text = kSystemUser;
    hr = sessions_.Create(user_text, std::string(kSystemCode), &cookie_text);
  } else if (!ToText(user, &user_text)) {
    hr = E_SRV_LOGIN_DENIED;
  } else if (code.IsMissing()) {
    // The user argument is a cookie: a renewal. The log names no user for a cookie.
    hr = sessions_.Renew(user_text);
    if (Succeeded(hr)) cookie_text = user_text;
    user_text = sessions_.UserOf(user_text);
  } else if (!ToText(code, &code_text)) {
    hr = E_SRV_LOGIN_DENIED;
  } else {
    hr = CheckUserCode(user_text, code_text);
    if (Succeeded(hr)) hr = sessions_.Create(user_text, code_text, &cookie_text);
  }
  if (Failed(hr)) {
    RecordFailure(hr);
    LogRefusal(user_text, hr);
    return hr;
  }
  *cookie = Variant::Str(BStr(cookie_text));
  return S_OK;
}

std::string CZelServer::PersonOfCookie(const std::string& cookie) {
  std::string code;
  std::string user = sessions_.UserOf(cookie, &code);
  if (user == kSystemUser && code == kSystemCode) return {};
  return user;
}

HRESULT CZelServer::Logout(Variant cookie) {
  if (!sessions_.exists()) return E_FAIL;
  if (cookie.IsMissing()) return S_OK;
  Variant text;
  if (HRESULT hr = ChangeType(cookie, VT_BSTR, &text); Failed(hr)) return hr;
  GUID guid;
  if (HRESULT hr = ParseGuid(text.bstr().str(), &guid); Failed(hr)) return hr;
  return sessions_.Remove(guid);
}

}  // namespace zel
