// The shared request helpers every object of the model uses to build, send and judge requests.
//
// Thread contract: stateless; any thread may call them. The transport's request lock serialises
// exchanges; helpers take it for one exchange when asked (atomic = true).
#pragma once

#include <cstdint>
#include <span>

#include "link/comm_handler.h"
#include "platform/variant.h"

namespace zel {

// One exchange: null transport E_FAIL (lock untouched); with atomic set, brackets SendRequest
// with BeginAtomicRequest/EndAtomicRequest (End always runs); success without a reply buffer is
// E_OUTOFMEMORY. On success *reply owns the reply.
HRESULT SendControllerRequest(IZelCommHandler* transport, bool atomic, const uint8_t* request,
                              uint32_t size, ReplyBuffer* reply);

// Sends the 9-byte command frame 5A 05 0F cmd p1 p2hi p2lo crc as one atomic exchange; S_OK only
// when the reply starts with the acknowledge frame, otherwise CO_E_NOT_SUPPORTED.
HRESULT SendControllerCommand(IZelCommHandler* transport, uint8_t command, uint8_t parameter1,
                              uint16_t parameter2);

// Requires an acknowledge reply to a request built by the caller (writes of settings).
HRESULT SendControllerWrite(IZelCommHandler* transport, bool atomic, const uint8_t* request,
                            uint32_t size);

// Requests one item by number with message type `type`: 7-byte frame for numbers below 256,
// 9-byte frame (big-endian numbers) otherwise; first = last = number. A negative acknowledge
// gives S_FALSE and no reply; any other reply is handed back.
HRESULT SendItemRequest(IZelCommHandler* transport, bool atomic, uint8_t type, uint16_t number,
                        ReplyBuffer* reply);

// *out = 0; an omitted argument (VT_ERROR) leaves 0 and succeeds; otherwise the argument is
// converted to VT_UI1 (conversion errors returned, *out stays 0).
HRESULT GetOptionalByte(const Variant& argument, uint8_t* out);

// A one-dimensional zero-based array of VT_BSTR variants, tagged VT_ARRAY | VT_BSTR.
HRESULT MakeStringArrayVariant(std::span<const BStr> strings, Variant* out);

}  // namespace zel
