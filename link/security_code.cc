#include "link/security_code.h"

#include "link/convert_argument.h"

namespace zel {
namespace {

// Parameter 3 of SystemParametersInfo is the four-digit user code; the high word selects the
// code record (code number less one).
constexpr uint32_t kUserCodeParameter = 3;

// The code number of the session whose cookie the argument holds.
HRESULT ResolveByCookie(SecurityCodeContext* context, const Variant& code, uint8_t* user_code) {
  if (!context->HasSessionList()) return S_FALSE;
  Variant text;
  ZEL_TRY(ConvertArgument(code, VT_BSTR, &text));
  GUID cookie;
  ZEL_TRY(ParseGuid(text.bstr().str(), &cookie));
  BStr user_name;
  ZEL_TRY(context->FindSessionUser(cookie, &user_name));
  uint32_t id = 0;
  ZEL_TRY(context->FindCodeIdByName(user_name, &id));
  *user_code = static_cast<uint8_t>(id & 0xFF);
  return S_OK;
}

// The code number whose stored digits equal the argument's text.
HRESULT ResolveByDigits(SecurityCodeContext* context, const Variant& code, uint8_t* user_code) {
  Variant text;
  ZEL_TRY(ConvertArgument(code, VT_BSTR, &text));
  uint32_t count = context->CodeCount();
  for (uint32_t i = 0; i < count; ++i) {
    Variant stored;
    if (Failed(context->SystemParametersInfo(i * 65536 + kUserCodeParameter, &stored))) continue;
    Variant stored_text;
    if (Failed(ConvertArgument(stored, VT_BSTR, &stored_text))) continue;
    if (stored_text.bstr().str() == text.bstr().str()) {
      *user_code = static_cast<uint8_t>(i + 1);
      return S_OK;
    }
  }
  return E_SRV_LOGIN_DENIED;
}

}  // namespace

HRESULT ResolveSecurityCode(SecurityCodeContext* context, const Variant& code, uint8_t* user_code) {
  if (user_code == nullptr) return E_POINTER;
  if (context == nullptr) return E_FAIL;
  // Models 9 and 10 know only one user code: every argument stands for it.
  int model = context->ModelIndex();
  if (model == 9 || model == 10) {
    *user_code = 1;
    return S_OK;
  }
  uint8_t found = 0;
  HRESULT hr = ResolveByCookie(context, code, &found);
  if (hr != S_OK) hr = ResolveByDigits(context, code, &found);
  if (hr != S_OK) return E_SRV_LOGIN_DENIED;
  *user_code = found;
  return S_OK;
}

}  // namespace zel
