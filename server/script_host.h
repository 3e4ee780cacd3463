// The scripting context a page host hands to the objects of a page when the page begins
// (CZelServer::OnStartPage): the five objects of the page (application, request, response,
// server and session). A host that runs script pages implements it on the object it passes to
// OnStartPage; the server keeps the five objects until OnEndPage.
//
// Thread contract: declarations only; the host decides its own locking.
#pragma once

#include "link/comm_handler.h"
#include "platform/dispatch.h"

namespace zel {

struct IScriptingContext : IUnknown {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x1A);
  // Each hands back one reference, or fails (the page does not have that object).
  virtual HRESULT get_Application(IDispatch** application) = 0;
  virtual HRESULT get_Request(IDispatch** request) = 0;
  virtual HRESULT get_Response(IDispatch** response) = 0;
  virtual HRESULT get_Server(IDispatch** server) = 0;
  virtual HRESULT get_Session(IDispatch** session) = 0;
};

}  // namespace zel
