#include "testing/fake_link.h"

#include <cstdlib>
#include <cstring>

#include "link/property_map_stream.h"
#include "platform/class_registry.h"

namespace zel {

HRESULT FakeLink::get_Name(BStr* name) {
  if (name == nullptr) return E_POINTER;
  *name = BStr("Fake");
  return S_OK;
}

HRESULT FakeLink::get_SettingsUI(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = GUID_NULL;
  return S_OK;
}

HRESULT FakeLink::Connect() {
  MutexLock hold(&request_lock_);
  MutexLock g(&mu_);
  ++connects_;
  if (Succeeded(connect_result_)) connected_ = true;
  return connect_result_;
}

HRESULT FakeLink::Disconnect() {
  MutexLock hold(&request_lock_);
  MutexLock g(&mu_);
  ++disconnects_;
  if (!connected_) return S_FALSE;
  connected_ = false;
  return S_OK;
}

HRESULT FakeLink::BeginAtomicRequest() {
  ++bracket_waiters_;
  request_lock_.Lock();
  --bracket_waiters_;
  ++depth_;
  MutexLock g(&mu_);
  ++begins_;
  return S_OK;
}

HRESULT FakeLink::EndAtomicRequest() {
  {
    MutexLock g(&mu_);
    ++ends_;
  }
  --depth_;
  request_lock_.Unlock();
  return S_OK;
}

HRESULT FakeLink::SendRequest(const uint8_t* request, uint32_t size, uint8_t** reply) {
  if (reply == nullptr) return E_POINTER;
  *reply = nullptr;
  Bytes frame(request, request + size);
  HRESULT hr = E_COMM_TIMEOUT;
  Bytes answer;
  AnswerFunction answer_function;
  {
    MutexLock g(&mu_);
    sent_.push_back(Sent{frame, depth_.load()});
    ++in_flight_;
    cv_.SignalAll();
    while (gated_) cv_.Wait(&mu_);
    --in_flight_;
    if (require_connect_ && !connected_) return E_FAIL;
    if (failing_) return E_COMM_TIMEOUT;
    if (!queued_.empty()) {
      hr = queued_.front().first;
      answer = std::move(queued_.front().second);
      queued_.pop_front();
    } else if (answer_) {
      answer_function = answer_;
    } else if (controller_) {
      hr = S_OK;
      answer = controller_->Answer(frame);
    }
  }
  // The answer function runs outside the lock: it may call back into the fake.
  if (answer_function) {
    answer = answer_function(frame);
    hr = answer.empty() ? E_COMM_TIMEOUT : S_OK;
  }
  if (answer.empty()) return hr;  // a failure, or success without a buffer
  auto* buffer = static_cast<uint8_t*>(std::malloc(answer.size()));
  if (buffer == nullptr) return E_OUTOFMEMORY;
  std::memcpy(buffer, answer.data(), answer.size());
  *reply = buffer;
  MutexLock g(&mu_);
  ++buffers_;
  return hr;
}

HRESULT FakeLink::GetClassID(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = kClsidFakeLink;
  return S_OK;
}

HRESULT FakeLink::Load(IStream* stream) {
  ZEL_TRY(ReadPropertyMapVersion(stream));
  Variant value;
  ZEL_TRY(ReadPropertyRecord(stream, &value));
  if (value.vt() != VT_I4) return DISP_E_TYPEMISMATCH;
  set_setting(value.i4());
  return S_OK;
}

HRESULT FakeLink::Save(IStream* stream, bool /*clear_dirty*/) {
  ZEL_TRY(WritePropertyMapVersion(stream));
  return WritePropertyRecord(stream, Variant::I4(setting()));
}

HRESULT FakeLink::GetSizeMax(uint64_t* size) {
  if (size == nullptr) return E_POINTER;
  *size = 4 + PropertyRecordSize(Variant::I4(0));
  return S_OK;
}

void FakeLink::QueueReply(Bytes reply) { QueueAnswer(S_OK, std::move(reply)); }
void FakeLink::QueueFailure(HRESULT code) { QueueAnswer(code, Bytes()); }

void FakeLink::QueueAnswer(HRESULT code, Bytes reply) {
  MutexLock g(&mu_);
  queued_.emplace_back(code, std::move(reply));
}

void FakeLink::SetAnswer(AnswerFunction answer) {
  MutexLock g(&mu_);
  answer_ = std::move(answer);
}

void FakeLink::UseController(FakeControllerConfig config) {
  MutexLock g(&mu_);
  controller_.emplace(std::move(config));
}

FakeController* FakeLink::controller() {
  MutexLock g(&mu_);
  return controller_ ? &*controller_ : nullptr;
}

void FakeLink::SetFailing(bool failing) {
  MutexLock g(&mu_);
  failing_ = failing;
}

void FakeLink::SetConnectResult(HRESULT hr) {
  MutexLock g(&mu_);
  connect_result_ = hr;
}

void FakeLink::RequireConnect(bool required) {
  MutexLock g(&mu_);
  require_connect_ = required;
}

void FakeLink::CloseGate() {
  MutexLock g(&mu_);
  gated_ = true;
}

void FakeLink::OpenGate() {
  MutexLock g(&mu_);
  gated_ = false;
  cv_.SignalAll();
}

bool FakeLink::WaitInFlight(Millis timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  MutexLock g(&mu_);
  while (in_flight_ == 0) {
    if (!cv_.WaitUntil(&mu_, deadline)) return in_flight_ > 0;
  }
  return true;
}

std::vector<FakeLink::Sent> FakeLink::sent() {
  MutexLock g(&mu_);
  return sent_;
}

std::vector<Bytes> FakeLink::frames() {
  std::vector<Bytes> out;
  for (const Sent& s : sent()) out.push_back(s.frame);
  return out;
}

std::vector<uint8_t> FakeLink::types() {
  std::vector<uint8_t> out;
  for (const Sent& s : sent()) out.push_back(s.frame.size() > 2 ? s.frame[2] : 0);
  return out;
}

size_t FakeLink::sent_count() {
  MutexLock g(&mu_);
  return sent_.size();
}

void FakeLink::ClearSent() {
  MutexLock g(&mu_);
  sent_.clear();
}

int FakeLink::begins() {
  MutexLock g(&mu_);
  return begins_;
}

int FakeLink::ends() {
  MutexLock g(&mu_);
  return ends_;
}

int FakeLink::depth() { return depth_.load(); }

int FakeLink::buffers_handed_out() {
  MutexLock g(&mu_);
  return buffers_;
}

int FakeLink::connects() {
  MutexLock g(&mu_);
  return connects_;
}

int FakeLink::disconnects() {
  MutexLock g(&mu_);
  return disconnects_;
}

bool FakeLink::connected() {
  MutexLock g(&mu_);
  return connected_;
}

int32_t FakeLink::setting() {
  MutexLock g(&mu_);
  return setting_;
}

void FakeLink::set_setting(int32_t v) {
  MutexLock g(&mu_);
  setting_ = v;
}

void RegisterFakeLink() {
  ClassRegistry::Instance().Register(kClsidFakeLink, "Zel.FakeLink", FactoryOf<FakeLink>());
}

}  // namespace zel
