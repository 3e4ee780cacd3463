// FakeTransport: a transport for the server's unit tests. It records every request frame (and
// whether the request lock was held when it was sent), answers through a scripted controller
// (FakeController) or a queue of canned replies, and persists one setting ("Setting", a 32-bit
// number) in the property-map stream format, so configuration round trips can be checked.
//
// FakeController plays a controller in memory: probe, login, system information, system status,
// set time, setup upload in blocks and logout, with the model, firmware, clock and setup block
// a test gives it.
//
// Thread contract: free-threaded; mu_ guards the recorded frames, the script and the counters.
// The request lock is a real recursive lock, as a transport's is.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "link/comm_handler.h"
#include "platform/persist.h"
#include "platform/sync.h"

namespace zel {

inline constexpr CLSID kClsidFakeTransport = ZelClassId(kIdCoclass, 0x1F0);

using Frame = std::vector<uint8_t>;

// A complete sealed frame of a type and data bytes.
Frame MakeTestFrame(uint8_t type, const std::vector<uint8_t>& data);

struct FakeControllerConfig {
  bool probe_ack = false;  // acknowledge the probe without a login
  std::vector<uint8_t> login_code = {7, 3, 9, 5};
  uint8_t model_code = 30;
  uint8_t major = 3, minor = 2;
  int8_t revision = 0;
  std::string phone = "5550100";
  // Status reply data bytes 0 .. 13 (date valid, year, month, ... battery), then nothing more.
  std::vector<uint8_t> status = {1, 26, 12, 6, 7, 14, 30, 15, 0, 6, 45, 17, 20, 87};
  std::vector<uint8_t> setup;  // the setup block
  size_t block_size = 64;      // payload bytes per upload block
};

class FakeController {
 public:
  explicit FakeController(FakeControllerConfig config) : config_(std::move(config)) {}
  // The reply to one request frame.
  Frame Answer(const Frame& request);
  FakeControllerConfig& config() { return config_; }

 private:
  FakeControllerConfig config_;
  bool logged_in_ = false;
  std::optional<size_t> upload_offset_;  // set while a setup upload runs
};

class FakeTransport final : public IZelCommHandler, public IPersistStreamInit {
 public:
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
  HRESULT BeginAtomicRequest() override;
  HRESULT EndAtomicRequest() override;
  HRESULT SendRequest(const uint8_t* request, uint32_t size, uint8_t** reply) override;

  // IPersistStreamInit
  HRESULT GetClassID(CLSID* clsid) override;
  HRESULT IsDirty() override { return S_FALSE; }
  HRESULT Load(IStream* stream) override;
  HRESULT Save(IStream* stream, bool clear_dirty) override;
  HRESULT GetSizeMax(uint64_t* size) override;
  HRESULT InitNew() override { return S_OK; }

  // Script: canned replies are used first, in order; then the controller, if any; otherwise
  // every request fails with E_COMM_TIMEOUT. A canned reply may be a failure code instead.
  void UseController(FakeControllerConfig config);
  FakeController* controller() { return controller_ ? &*controller_ : nullptr; }
  void QueueReply(Frame reply);
  void QueueFailure(HRESULT code);
  void SetConnectResult(HRESULT hr);
  // While a gate is set, each SendRequest waits for it to be opened (for tests that need a
  // request in flight).
  void SetGate(ManualResetEvent* gate);

  struct Sent {
    Frame frame;
    bool locked;  // the request lock was held by the sending thread
  };
  std::vector<Sent> sent();
  std::vector<Frame> frames();
  // The message types sent, in order.
  std::vector<uint8_t> types();
  void ClearSent();
  int connects();
  int disconnects();
  bool connected();
  int32_t setting();
  void set_setting(int32_t v);

 private:
  std::mutex mu_;
  RecursiveMutex request_lock_;
  std::atomic<int> lock_depth_{0};
  std::vector<Sent> sent_;                        // guarded by mu_
  std::deque<std::pair<HRESULT, Frame>> queued_;  // guarded by mu_
  std::optional<FakeController> controller_;      // guarded by mu_
  HRESULT connect_result_ = S_OK;                 // guarded by mu_
  ManualResetEvent* gate_ = nullptr;              // guarded by mu_
  int connects_ = 0;                              // guarded by mu_
  int disconnects_ = 0;                           // guarded by mu_
  bool connected_ = false;                        // guarded by mu_
  int32_t setting_ = 0;                           // guarded by mu_
};

// Registers FakeTransport (kClsidFakeTransport); every creation makes a new one.
void RegisterFakeTransport();

}  // namespace zel
