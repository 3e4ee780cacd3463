// IZelCommHandler: the transport contract. One request frame goes out, one reply frame comes
// back. Transports (serial, network) implement it; the server owns exactly one.
//
// Reply buffers: SendRequest hands back a buffer allocated with malloc that holds the reply frame
// from its start byte; the caller owns it and releases it with free (ReplyBuffer does this), also
// when it judges the reply a failure. No buffer is handed back on failure. A buffer may be longer
// than the frame: readers take the frame's extent from its length byte.
//
// Thread contract: free-threaded. BeginAtomicRequest/EndAtomicRequest take and release the
// transport's one recursive request lock; Connect and Disconnect take it internally; SendRequest
// relies on its callers to hold it. The transport itself is the capability the lock annotations
// name: a function that must run inside a bracket says ZEL_REQUIRES(link), and AtomicBracket
// (link/atomic_bracket.h) takes and releases it for a scope.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "platform/bstr.h"
#include "platform/dispatch.h"
#include "platform/sync.h"

namespace zel {

// Class ids share one prefix; the last group encodes the kind and the class number.
inline constexpr uint64_t kClassIdTailPrefix = 0x8C1A000000000000;  // kind and number follow
constexpr GUID ZelClassId(uint16_t kind, uint16_t number) {
  return MakeGuid(0x5E1C0A70, 0x3B2D, 0x4A6F,
                  kClassIdTailPrefix | (uint64_t{kind} << 16) | uint64_t{number});
}
// Kinds of ids.
inline constexpr uint16_t kIdCoclass = 1;
inline constexpr uint16_t kIdInterface = 2;
inline constexpr uint16_t kIdOutgoing = 3;
inline constexpr uint16_t kIdSettingsPage = 4;

struct ZEL_CAPABILITY("link") IZelCommHandler : IDispatch {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x01);
  virtual HRESULT get_Name(BStr* name) = 0;                // dispid 0x5C0
  virtual HRESULT get_Description(BStr* description) = 0;  // dispid 0x5C1
  virtual HRESULT get_SettingsUI(CLSID* clsid) = 0;        // dispid 0x5C2
  virtual HRESULT Connect() = 0;                           // dispid 0x60020003
  virtual HRESULT Disconnect() = 0;                        // dispid 0x60020004
  virtual HRESULT BeginAtomicRequest() ZEL_ACQUIRE() = 0;  // dispid 0x60020005
  virtual HRESULT EndAtomicRequest() ZEL_RELEASE() = 0;    // dispid 0x60020006
  virtual HRESULT SendRequest(const uint8_t* request, uint32_t size,
                              uint8_t** reply) = 0;  // dispid 0x60020007
};

// What a stopping server needs of a link beside IZelCommHandler, so that nothing another thread
// does on the link can keep the stop waiting (a handshake that costs 11 x 4 s against a silent
// controller, a reply that trickles in a byte at a time):
//   InterruptWaits  the wait in progress and every later one end at once with E_ABORT, until
//                   ResumeWaits;
//   TryBeginAtomicRequest  takes the request lock only when it is free now (true), so the stop
//                   can give up on a lock that another thread never lets go.
// Not on the dispatch interface: only code inside the process calls these.
// Thread contract: all may be called from any thread; the first two without the request lock.
struct IZelLinkInterrupt : IUnknown {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x23);
  virtual void InterruptWaits() = 0;
  virtual void ResumeWaits() = 0;
  virtual bool TryBeginAtomicRequest() = 0;
};

// Lets a walk turn off a transport's own resends. The network transport sends a request whose
// reply does not come again, with a new sequence number; inside a walk the controller steps on at
// every acknowledge it receives, so an acknowledge sent again would skip one reply. With resends
// off a lost reply fails the exchange, and the walk starts again from its first request.
// Disconnect with resends off sends its terminate once (a re-login on a link that is down).
// Thread contract: called by the holder of the transport's atomic bracket, inside it; the holder
// turns resends back on before it leaves the bracket.
struct IZelLinkResends : IUnknown {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x24);
  virtual void SetResends(bool on) = 0;
};

struct FreeDeleter {
  void operator()(uint8_t* p) const { std::free(p); }
};
// Owns a reply buffer from SendRequest.
using ReplyBuffer = std::unique_ptr<uint8_t, FreeDeleter>;

}  // namespace zel
