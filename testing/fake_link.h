// FakeLink: the one transport the unit tests use in place of a controller link. It is a real
// IZelCommHandler with a real recursive request lock, so update threads, downloads and client
// calls share it as they share the serial transport, and it records what they did:
//
//   - every request frame, with the lock depth of the sending thread when it went out;
//   - BeginAtomicRequest/EndAtomicRequest counts, Connect/Disconnect counts, and how many reply
//     buffers it handed out (under the address sanitizer a buffer the caller fails to release is
//     reported as a leak).
//
// Each request is answered, in this order, by the next queued answer (a reply, a failure, or a
// failure that still hands out a buffer, as a misbehaving transport might), by the answer
// function, by the FakeController, and otherwise fails with E_COMM_TIMEOUT. An answer function
// that returns no bytes also means E_COMM_TIMEOUT. SetFailing makes every request time out (an
// unplugged controller); a closed gate holds requests in SendRequest until it opens, to keep
// one in flight.
//
// With RequireConnect(true) a request before Connect (or after Disconnect) fails with E_FAIL, as
// the serial transport's does. The fake persists one setting ("Setting", a 32-bit number) in the
// property-map stream format, and registers as a class (RegisterFakeLink) so the server can
// create it from a stored class id.
//
// Thread contract: free-threaded; mu_ guards the script, the record and the counters.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "link/comm_handler.h"
#include "platform/clock.h"
#include "platform/persist.h"
#include "platform/sync.h"
#include "testing/fake_controller.h"
#include "testing/frames.h"

namespace zel {

inline constexpr CLSID kClsidFakeLink = ZelClassId(kIdCoclass, 0x1F0);

class FakeLink final : public IZelCommHandler, public IPersistStreamInit {
 public:
  using AnswerFunction = std::function<Bytes(const Bytes& request)>;

  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IZelCommHandler, IDispatch, IPersistStreamInit>(this, iid, ppv);
  }
  // IDispatch: the fake is used through its vtable only.
  HRESULT GetIDOfName(std::string_view, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID, uint16_t, std::span<const Variant>, Variant*) override {
    return DISP_E_MEMBERNOTFOUND;
  }

  // IZelCommHandler
  HRESULT get_Name(BStr* name) override;
  HRESULT get_Description(BStr*) override { return E_NOTIMPL; }
  HRESULT get_SettingsUI(CLSID* clsid) override;
  HRESULT Connect() override;
  HRESULT Disconnect() override;
  HRESULT BeginAtomicRequest() ZEL_ACQUIRE(request_lock_) override;
  HRESULT EndAtomicRequest() ZEL_RELEASE(request_lock_) override;
  HRESULT SendRequest(const uint8_t* request, uint32_t size, uint8_t** reply) override;

  // IPersistStreamInit
  HRESULT GetClassID(CLSID* clsid) override;
  HRESULT IsDirty() override { return S_FALSE; }
  HRESULT Load(IStream* stream) override;
  HRESULT Save(IStream* stream, bool clear_dirty) override;
  HRESULT GetSizeMax(uint64_t* size) override;
  HRESULT InitNew() override { return S_OK; }

  // The script.
  void QueueReply(Bytes reply);  // empty: success without a reply buffer
  void QueueFailure(HRESULT code);
  void QueueAnswer(HRESULT code, Bytes reply);  // a failure that still hands out a buffer
  void SetAnswer(AnswerFunction answer);
  void UseController(FakeControllerConfig config);
  FakeController* controller();
  void SetFailing(bool failing);
  void SetConnectResult(HRESULT hr);
  void RequireConnect(bool required);
  // The gate: while closed, requests wait in SendRequest.
  void CloseGate();
  void OpenGate();
  // Waits (real time) until a request waits at the closed gate.
  bool WaitInFlight(Millis timeout);

  // The record.
  struct Sent {
    Bytes frame;
    int depth;  // BeginAtomicRequest calls not yet ended when it went out
  };
  std::vector<Sent> sent();
  std::vector<Bytes> frames();
  std::vector<uint8_t> types();  // the message type of each request, in order
  size_t sent_count();
  void ClearSent();
  int begins();
  int ends();
  int depth();
  int buffers_handed_out();
  int connects();
  int disconnects();
  // Threads waiting to enter the atomic bracket that another holds.
  int bracket_waiters() const { return bracket_waiters_.load(); }
  bool connected();
  int32_t setting();
  void set_setting(int32_t v);

 private:
  Mutex mu_;
  CondVar cv_;
  RecursiveMutex request_lock_;
  // Changed by the thread holding request_lock_; read by SendRequest on that thread.
  std::atomic<int> depth_{0};
  std::atomic<int> bracket_waiters_{0};
  std::deque<std::pair<HRESULT, Bytes>> queued_ ZEL_GUARDED_BY(mu_);
  AnswerFunction answer_ ZEL_GUARDED_BY(mu_);
  std::optional<FakeController> controller_ ZEL_GUARDED_BY(mu_);
  bool failing_ ZEL_GUARDED_BY(mu_) = false;
  bool gated_ ZEL_GUARDED_BY(mu_) = false;
  int in_flight_ ZEL_GUARDED_BY(mu_) = 0;
  HRESULT connect_result_ ZEL_GUARDED_BY(mu_) = S_OK;
  bool require_connect_ ZEL_GUARDED_BY(mu_) = false;
  std::vector<Sent> sent_ ZEL_GUARDED_BY(mu_);
  int begins_ ZEL_GUARDED_BY(mu_) = 0;
  int ends_ ZEL_GUARDED_BY(mu_) = 0;
  int buffers_ ZEL_GUARDED_BY(mu_) = 0;
  int connects_ ZEL_GUARDED_BY(mu_) = 0;
  int disconnects_ ZEL_GUARDED_BY(mu_) = 0;
  bool connected_ ZEL_GUARDED_BY(mu_) = false;
  int32_t setting_ ZEL_GUARDED_BY(mu_) = 0;
};

// Registers FakeLink (kClsidFakeLink, "Zel.FakeLink"); every creation makes a new one.
void RegisterFakeLink();

}  // namespace zel
