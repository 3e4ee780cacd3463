// ResolveSecurityCode: turns the security-code argument of Arm, Disarm, Bypass and Restore into
// the one-based user code number. The argument holds either the code's digits or a login cookie.
//
// The server supplies what the resolution reads through SecurityCodeContext, so the logic lives
// here, beside the other request helpers, without a dependency on the server.
//
// Thread contract: stateless; the context must be usable from the calling thread.
#pragma once

#include <cstdint>

#include "platform/guid.h"
#include "platform/variant.h"

namespace zel {

class SecurityCodeContext {
 public:
  virtual ~SecurityCodeContext() = default;
  // The connected controller's model index (-1 when unknown).
  virtual int ModelIndex() = 0;
  // False when no client session list exists yet.
  virtual bool HasSessionList() = 0;
  // The user name of the session with this cookie; E_FAIL when there is none.
  virtual HRESULT FindSessionUser(const GUID& cookie, BStr* user_name) = 0;
  // The ID of the user code named user_name in the Codes collection.
  virtual HRESULT FindCodeIdByName(const BStr& user_name, uint32_t* id) = 0;
  // The server's SystemParametersInfo(index).
  virtual HRESULT SystemParametersInfo(uint32_t index, Variant* value) = 0;
  // The number of user codes of the connected model.
  virtual uint32_t CodeCount() = 0;
};

// S_OK with *user_code, or E_SRV_LOGIN_DENIED when the argument matches no code.
HRESULT ResolveSecurityCode(SecurityCodeContext* context, const Variant& code, uint8_t* user_code);

}  // namespace zel
