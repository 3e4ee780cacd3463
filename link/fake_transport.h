// FakeTransport: an IZelCommHandler for unit tests of the request helpers. It records every
// request and the lock calls, and answers with scripted replies (or a scripted failure). It
// counts the reply buffers it hands out; under the address sanitizer a buffer the caller fails
// to release is reported as a leak.
//
// Thread contract: single test thread.
#pragma once

#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "link/comm_handler.h"

namespace zel {

class FakeTransport final : public IZelCommHandler {
 public:
  struct Answer {
    HRESULT result = S_OK;
    std::vector<uint8_t> reply;  // empty with a success result: success without a buffer
  };

  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IZelCommHandler, IDispatch>(this, iid, ppv);
  }
  HRESULT GetIDOfName(std::string_view, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, uint16_t, std::span<const Variant>, Variant*) override {
    return E_NOTIMPL;
  }
  HRESULT get_Name(BStr*) override { return E_NOTIMPL; }
  HRESULT get_Description(BStr*) override { return E_NOTIMPL; }
  HRESULT get_SettingsUI(CLSID*) override { return E_NOTIMPL; }
  HRESULT Connect() override { return S_OK; }
  HRESULT Disconnect() override { return S_FALSE; }
  HRESULT BeginAtomicRequest() override {
    ++begins;
    ++depth;
    return S_OK;
  }
  HRESULT EndAtomicRequest() override {
    ++ends;
    --depth;
    return S_OK;
  }
  HRESULT SendRequest(const uint8_t* request, uint32_t size, uint8_t** reply) override {
    requests.emplace_back(request, request + size);
    depth_at_send.push_back(depth);
    *reply = nullptr;
    if (answers.empty()) return E_FAIL;
    Answer a = answers.front();
    answers.pop_front();
    if (!a.reply.empty()) {
      *reply = static_cast<uint8_t*>(std::malloc(a.reply.size()));
      std::memcpy(*reply, a.reply.data(), a.reply.size());
      ++buffers_handed_out;
    }
    return a.result;
  }

  void Reply(std::vector<uint8_t> bytes) { answers.push_back(Answer{S_OK, std::move(bytes)}); }
  void FailWith(HRESULT hr) { answers.push_back(Answer{hr, {}}); }

  std::deque<Answer> answers;
  std::vector<std::vector<uint8_t>> requests;
  std::vector<int> depth_at_send;  // lock depth when each request went out
  int begins = 0;
  int ends = 0;
  int depth = 0;
  int buffers_handed_out = 0;
};

}  // namespace zel
