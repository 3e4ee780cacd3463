// Per-thread error information: a failing automation operation leaves the source (the server's
// programmatic identifier), the interface, a description and the code for the caller to read on
// the same thread. Reading takes it (the slot is cleared), as the platform does.
//
// Thread contract: each thread has its own slot; no locking.
#pragma once

#include <optional>
#include <string>

#include "platform/guid.h"
#include "platform/status.h"

namespace zel {

struct ErrorInfo {
  std::string source;
  IID iid = GUID_NULL;
  std::string description;
  HRESULT code = S_OK;
};

void SetErrorInfo(ErrorInfo info);
void ClearErrorInfo();
// Takes the calling thread's error information, leaving the slot empty.
std::optional<ErrorInfo> TakeErrorInfo();
// Reads it without clearing.
std::optional<ErrorInfo> PeekErrorInfo();

}  // namespace zel
