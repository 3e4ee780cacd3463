// ServerSecurityContext: the server side of security-code resolution (link/security_code.h):
// what ResolveSecurityCode reads from the server to turn a code or a login cookie into a user
// code number.
//
// Thread contract: any thread; it only forwards to the server's thread-safe accessors. It lives
// inside the server and does not count a reference.
#pragma once

#include "link/security_code.h"

namespace zel {

class CZelServer;

class ServerSecurityContext final : public SecurityCodeContext {
 public:
  explicit ServerSecurityContext(CZelServer* server) : server_(server) {}

  int ModelIndex() override;
  // Client sessions arrive with the client login; until then there is no session list.
  bool HasSessionList() override { return false; }
  HRESULT FindSessionUser(const GUID& cookie, BStr* user_name) override;
  // The ID of the code named user_name in the server's Codes collection (Item by name).
  HRESULT FindCodeIdByName(const BStr& user_name, uint32_t* id) override;
  HRESULT SystemParametersInfo(uint32_t index, Variant* value) override;
  // The user code count of the connected model's capability record; 0 when unknown.
  uint32_t CodeCount() override;

 private:
  CZelServer* server_;
};

}  // namespace zel
