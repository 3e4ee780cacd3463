// TestLink: a transport for the object model's tests. Every request goes to an answer function
// the test gives (a small controller in the test), under a real recursive request lock, so
// update threads and client calls can share it as they share a real transport. It records the
// requests, can fail every request (an unplugged controller), and can hold requests at a gate
// to keep a pass in flight.
//
// Thread contract: free-threaded; mu_ guards the answer function, the record and the gate.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "link/comm_handler.h"
#include "link/frame.h"
#include "platform/sync.h"

namespace zel {

using Bytes = std::vector<uint8_t>;

// A sealed frame of a message type and data bytes.
inline Bytes SealedFrame(uint8_t type, const Bytes& data) {
  Bytes f(data.size() + kFrameOverhead + 1, 0);
  f[0] = kFrameStart;
  f[1] = static_cast<uint8_t>(data.size() + 1);
  f[2] = type;
  std::memcpy(f.data() + 3, data.data(), data.size());
  SetFrameCrc(f.data(), static_cast<uint32_t>(f.size()));
  return f;
}
inline Bytes AckBytes() { return Bytes(kAckFrame.begin(), kAckFrame.end()); }
inline Bytes NakBytes() { return Bytes(kNakFrame.begin(), kNakFrame.end()); }
inline Bytes EndOfDataBytes() { return Bytes(kEndOfDataFrame.begin(), kEndOfDataFrame.end()); }

class TestLink final : public IZelCommHandler {
 public:
  using Answer = std::function<Bytes(const Bytes& request)>;

  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IZelCommHandler, IDispatch>(this, iid, ppv);
  }
  HRESULT GetIDOfName(std::string_view, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID, uint16_t, std::span<const Variant>, Variant*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
  HRESULT get_Name(BStr*) override { return E_NOTIMPL; }
  HRESULT get_Description(BStr*) override { return E_NOTIMPL; }
  HRESULT get_SettingsUI(CLSID*) override { return E_NOTIMPL; }
  HRESULT Connect() override {
    ++connects_;
    return S_OK;
  }
  HRESULT Disconnect() override { return S_OK; }
  HRESULT BeginAtomicRequest() override {
    lock_.Lock();
    return S_OK;
  }
  HRESULT EndAtomicRequest() override {
    lock_.Unlock();
    return S_OK;
  }
  HRESULT SendRequest(const uint8_t* request, uint32_t size, uint8_t** reply) override {
    *reply = nullptr;
    Bytes frame(request, request + size);
    Answer answer;
    {
      std::unique_lock<std::mutex> g(mu_);
      requests_.push_back(frame);
      ++in_flight_;
      cv_.notify_all();
      cv_.wait(g, [&] { return !gated_; });
      --in_flight_;
      if (failing_) return E_COMM_TIMEOUT;
      answer = answer_;
    }
    Bytes bytes = answer ? answer(frame) : NakBytes();
    if (bytes.empty()) return E_COMM_TIMEOUT;
    *reply = static_cast<uint8_t*>(std::malloc(bytes.size()));
    std::memcpy(*reply, bytes.data(), bytes.size());
    return S_OK;
  }

  void SetAnswer(Answer answer) {
    std::lock_guard<std::mutex> g(mu_);
    answer_ = std::move(answer);
  }
  // Every request fails with E_COMM_TIMEOUT (true) or is answered again (false).
  void SetFailing(bool failing) {
    std::lock_guard<std::mutex> g(mu_);
    failing_ = failing;
  }
  // Closes the gate: requests wait in SendRequest until Open.
  void Close() {
    std::lock_guard<std::mutex> g(mu_);
    gated_ = true;
  }
  void Open() {
    std::lock_guard<std::mutex> g(mu_);
    gated_ = false;
    cv_.notify_all();
  }
  // Waits (real time) until a request waits at the gate.
  bool WaitInFlight(Millis timeout) {
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, timeout, [&] { return in_flight_ > 0; });
  }
  std::vector<Bytes> requests() {
    std::lock_guard<std::mutex> g(mu_);
    return requests_;
  }
  size_t request_count() {
    std::lock_guard<std::mutex> g(mu_);
    return requests_.size();
  }
  void ClearRequests() {
    std::lock_guard<std::mutex> g(mu_);
    requests_.clear();
  }
  int connects() const { return connects_.load(); }

 private:
  RecursiveMutex lock_;
  std::mutex mu_;
  std::condition_variable cv_;
  Answer answer_;
  std::vector<Bytes> requests_;
  bool failing_ = false;
  bool gated_ = false;
  int in_flight_ = 0;
  std::atomic<int> connects_{0};
};

}  // namespace zel
