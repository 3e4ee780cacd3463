// RecordingSink: a dispatch object for tests that records every call made to it (dispid and
// arguments) into a shared log, so a test can check what handlers and sinks were told, and in
// which order. CallbackSink: one that runs a function instead.
//
// Thread contract: the log is guarded by its own mutex; calls may come from any thread.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch.h"

namespace zel {

struct CallLog {
  struct Call {
    std::string who;
    DISPID dispid;
    std::vector<Variant> args;
  };
  std::mutex mu;
  std::vector<Call> calls;  // guarded by mu

  std::vector<Call> Snapshot() {
    std::lock_guard<std::mutex> g(mu);
    return calls;
  }
  // The first argument of each call as an integer, for status sequences; only calls by `who`.
  std::vector<int32_t> Statuses(const std::string& who) {
    std::vector<int32_t> out;
    for (const Call& c : Snapshot()) {
      if (c.who == who && !c.args.empty() && c.args[0].vt() == VT_I4) out.push_back(c.args[0].i4());
    }
    return out;
  }
};

class RecordingSink final : public IDispatch {
 public:
  RecordingSink(std::string name, CallLog* log) : name_(std::move(name)), log_(log) {}
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch>(this, iid, ppv);
  }
  HRESULT GetIDOfName(std::string_view, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID dispid, uint16_t, std::span<const Variant> args, Variant*) override {
    std::lock_guard<std::mutex> g(log_->mu);
    log_->calls.push_back({name_, dispid, std::vector<Variant>(args.begin(), args.end())});
    return S_OK;
  }

 private:
  std::string name_;
  CallLog* log_;
};

// A dispatch object whose every call runs a function (a handler or sink that misbehaves: fails,
// throws, blocks, or changes the server while it is called).
class CallbackSink final : public IDispatch {
 public:
  explicit CallbackSink(std::function<HRESULT()> body) : body_(std::move(body)) {}
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch>(this, iid, ppv);
  }
  HRESULT GetIDOfName(std::string_view, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID, uint16_t, std::span<const Variant>, Variant*) override { return body_(); }

 private:
  std::function<HRESULT()> body_;
};

}  // namespace zel
