#include "server/fake_transport.h"

#include <cstdlib>
#include <cstring>

#include "link/frame.h"
#include "link/property_map_stream.h"
#include "platform/class_registry.h"

namespace zel {

Frame MakeTestFrame(uint8_t type, const std::vector<uint8_t>& data) {
  Frame f(data.size() + 5, 0);
  f[0] = kFrameStart;
  f[1] = static_cast<uint8_t>(data.size() + 1);
  f[2] = type;
  for (size_t i = 0; i < data.size(); ++i) f[3 + i] = data[i];
  SetFrameCrc(f.data(), static_cast<uint32_t>(f.size()));
  return f;
}

namespace {
Frame Ack() { return Frame(kAckFrame.begin(), kAckFrame.end()); }
Frame Nak() { return Frame(kNakFrame.begin(), kNakFrame.end()); }
Frame EndOfData() { return Frame(kEndOfDataFrame.begin(), kEndOfDataFrame.end()); }
}  // namespace

Frame FakeController::Answer(const Frame& request) {
  uint8_t type = request[2];
  if (type == MSG_ACK && upload_offset_) {
    // The acknowledge asks for the next block of a running upload.
    if (*upload_offset_ >= config_.setup.size()) {
      upload_offset_.reset();
      return EndOfData();
    }
    size_t n = std::min(config_.block_size, config_.setup.size() - *upload_offset_);
    std::vector<uint8_t> data = {0x00, static_cast<uint8_t>(*upload_offset_ / config_.block_size)};
    data.insert(data.end(), config_.setup.begin() + *upload_offset_,
                config_.setup.begin() + *upload_offset_ + n);
    *upload_offset_ += n;
    return MakeTestFrame(0x04, data);
  }
  switch (type) {
    case MSG_ACK:
      return config_.probe_ack || logged_in_ ? Ack() : Nak();
    case MSG_LOGIN: {
      std::vector<uint8_t> code(request.begin() + 3, request.begin() + 7);
      logged_in_ = code == config_.login_code;
      return logged_in_ ? Ack() : Nak();
    }
    case MSG_LOGOUT:
      logged_in_ = false;
      return Ack();
    case 0x11: {
      std::vector<uint8_t> data = {config_.model_code, config_.major, config_.minor,
                                   static_cast<uint8_t>(config_.revision)};
      data.insert(data.end(), config_.phone.begin(), config_.phone.end());
      data.push_back(0);
      return MakeTestFrame(0x12, data);
    }
    case 0x13:
      return MakeTestFrame(0x14, config_.status);
    case 0x10:
      return Ack();
    case 0x04:
      upload_offset_ = 0;
      return Answer(Ack());
    default:
      return Nak();
  }
}

HRESULT FakeTransport::get_Name(BStr* name) {
  if (name == nullptr) return E_POINTER;
  *name = BStr("Fake");
  return S_OK;
}

HRESULT FakeTransport::get_SettingsUI(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = GUID_NULL;
  return S_OK;
}

HRESULT FakeTransport::Connect() {
  MutexLock hold(&request_lock_);
  std::lock_guard<std::mutex> g(mu_);
  ++connects_;
  if (Succeeded(connect_result_)) connected_ = true;
  return connect_result_;
}

HRESULT FakeTransport::Disconnect() {
  MutexLock hold(&request_lock_);
  std::lock_guard<std::mutex> g(mu_);
  ++disconnects_;
  if (!connected_) return S_FALSE;
  connected_ = false;
  return S_OK;
}

HRESULT FakeTransport::BeginAtomicRequest() {
  request_lock_.Lock();
  ++lock_depth_;
  return S_OK;
}

HRESULT FakeTransport::EndAtomicRequest() {
  --lock_depth_;
  request_lock_.Unlock();
  return S_OK;
}

HRESULT FakeTransport::SendRequest(const uint8_t* request, uint32_t size, uint8_t** reply) {
  if (reply == nullptr) return E_POINTER;
  *reply = nullptr;
  // Whether the request lock is held (the tests send from one thread at a time, so a held lock
  // is the sender's).
  bool locked = lock_depth_.load() > 0;
  Frame frame(request, request + size);
  ManualResetEvent* gate = nullptr;
  {
    std::lock_guard<std::mutex> g(mu_);
    gate = gate_;
  }
  if (gate != nullptr) gate->Wait();
  HRESULT hr = E_COMM_TIMEOUT;
  Frame answer;
  {
    std::lock_guard<std::mutex> g(mu_);
    sent_.push_back(Sent{frame, locked});
    if (!connected_) return E_FAIL;
    if (!queued_.empty()) {
      hr = queued_.front().first;
      answer = std::move(queued_.front().second);
      queued_.pop_front();
    } else if (controller_) {
      hr = S_OK;
      answer = controller_->Answer(frame);
    }
  }
  if (Failed(hr)) return hr;
  auto* buffer = static_cast<uint8_t*>(std::malloc(answer.size()));
  if (buffer == nullptr) return E_OUTOFMEMORY;
  std::memcpy(buffer, answer.data(), answer.size());
  *reply = buffer;
  return S_OK;
}

HRESULT FakeTransport::GetClassID(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = kClsidFakeTransport;
  return S_OK;
}

HRESULT FakeTransport::Load(IStream* stream) {
  ZEL_TRY(ReadPropertyMapVersion(stream));
  Variant value;
  ZEL_TRY(ReadPropertyRecord(stream, &value));
  if (value.vt() != VT_I4) return DISP_E_TYPEMISMATCH;
  set_setting(value.i4());
  return S_OK;
}

HRESULT FakeTransport::Save(IStream* stream, bool /*clear_dirty*/) {
  ZEL_TRY(WritePropertyMapVersion(stream));
  return WritePropertyRecord(stream, Variant::I4(setting()));
}

HRESULT FakeTransport::GetSizeMax(uint64_t* size) {
  if (size == nullptr) return E_POINTER;
  *size = 4 + PropertyRecordSize(Variant::I4(0));
  return S_OK;
}

void FakeTransport::UseController(FakeControllerConfig config) {
  std::lock_guard<std::mutex> g(mu_);
  controller_.emplace(std::move(config));
}

void FakeTransport::SetGate(ManualResetEvent* gate) {
  std::lock_guard<std::mutex> g(mu_);
  gate_ = gate;
}

void FakeTransport::QueueReply(Frame reply) {
  std::lock_guard<std::mutex> g(mu_);
  queued_.emplace_back(S_OK, std::move(reply));
}

void FakeTransport::QueueFailure(HRESULT code) {
  std::lock_guard<std::mutex> g(mu_);
  queued_.emplace_back(code, Frame());
}

void FakeTransport::SetConnectResult(HRESULT hr) {
  std::lock_guard<std::mutex> g(mu_);
  connect_result_ = hr;
}

std::vector<FakeTransport::Sent> FakeTransport::sent() {
  std::lock_guard<std::mutex> g(mu_);
  return sent_;
}

std::vector<Frame> FakeTransport::frames() {
  std::vector<Frame> out;
  for (const Sent& s : sent()) out.push_back(s.frame);
  return out;
}

std::vector<uint8_t> FakeTransport::types() {
  std::vector<uint8_t> out;
  for (const Sent& s : sent()) out.push_back(s.frame.size() > 2 ? s.frame[2] : 0);
  return out;
}

void FakeTransport::ClearSent() {
  std::lock_guard<std::mutex> g(mu_);
  sent_.clear();
}

int FakeTransport::connects() {
  std::lock_guard<std::mutex> g(mu_);
  return connects_;
}

int FakeTransport::disconnects() {
  std::lock_guard<std::mutex> g(mu_);
  return disconnects_;
}

bool FakeTransport::connected() {
  std::lock_guard<std::mutex> g(mu_);
  return connected_;
}

int32_t FakeTransport::setting() {
  std::lock_guard<std::mutex> g(mu_);
  return setting_;
}

void FakeTransport::set_setting(int32_t v) {
  std::lock_guard<std::mutex> g(mu_);
  setting_ = v;
}

void RegisterFakeTransport() {
  ClassRegistry::Instance().Register(kClsidFakeTransport, "Zel.FakeTransport",
                                     FactoryOf<FakeTransport>());
}

}  // namespace zel
