// Callback objects that stand for a destination of the server's XML writers, so that a client in
// another process can hand SaveStatusXML, SaveXML and SaveXMLSnippet somewhere to write:
//
//   "IResponse"       answers IResponse; each Write(text) becomes an event with the text
//   "IStream"         answers IStream; each Write(bytes) becomes an event with the bytes (an
//                     array of VT_UI1) and reports every byte written
//   "IHTMLDocument2"  answers IHTMLDocument2; each write(array of strings) becomes an event
//                     with the strings joined
//
// The events are those of a callback handler (event_sinks.h): interface "callback", member the
// name the client gave, dispid 0, source the object's handle, in the order of the writes. Like a
// handler, each object also takes an invocation of its default member as an event.
//
// Thread contract: the writes may come from any thread, concurrently; the queue does its own
// locking, and mu_ guards the handle set after creation.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "bridge/event_queue.h"
#include "platform/dispatch.h"

namespace zel::bridge {

// The interface names a callback may take.
inline constexpr std::string_view kResponseInterfaceName = "IResponse";
inline constexpr std::string_view kStreamInterfaceName = "IStream";
inline constexpr std::string_view kHtmlDocumentInterfaceName = "IHTMLDocument2";

// Makes the callback object for `interface_name` (one of the three above): one reference in
// *object, and `set_source` to give it its handle once the session has one. An unknown
// interface name: E_NOINTERFACE.
class CallbackDestination {
 public:
  virtual ~CallbackDestination() = default;
  virtual IDispatch* dispatch() = 0;
  virtual void set_source(std::string handle) = 0;
};
HRESULT MakeCallbackDestination(std::shared_ptr<EventQueue> queue, std::string name,
                                std::string_view interface_name, ComPtr<IDispatch>* object,
                                CallbackDestination** destination);

}  // namespace zel::bridge
