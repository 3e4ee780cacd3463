#include "link/serial_transport.h"

#include <array>
#include <string>

#include "link/convert_argument.h"
#include "link/frame_receiver.h"
#include "platform/resource_library.h"
#include "platform/sync.h"
#include "platform/system_log.h"

namespace zel {

const MemberTable& CZelCommHandlerSerial::Members() {
  using T = CZelCommHandlerSerial;
  static const MemberTable table =
      CommHandlerMembers<T>("CZelCommHandlerSerial")
          .Put(Role::kAdmin, "Port", 0x5C3, &T::put_Port, {"vtPort"})
          .Get(Role::kRead, "Port", 0x5C3, &T::get_Port)
          .Put(Role::kAdmin, "BaudRate", 0x5C4, &T::put_BaudRate, {"vtBaudRate"})
          .Get(Role::kRead, "BaudRate", 0x5C4, &T::get_BaudRate)
          .Build();
  return table;
}

CZelCommHandlerSerial::CZelCommHandlerSerial() { line_.SetWakeFd(interrupt_.fd()); }

CZelCommHandlerSerial::~CZelCommHandlerSerial() { (void)Disconnect(); }

HRESULT CZelCommHandlerSerial::get_Name(BStr* name) {
  if (name == nullptr) return E_POINTER;
  return LoadResourceString(kSerialNameStringId, name);
}

HRESULT CZelCommHandlerSerial::get_Description(BStr* /*description*/) { return E_NOTIMPL; }

HRESULT CZelCommHandlerSerial::get_SettingsUI(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = kClsidZelCommHandlerSerialUI;
  return S_OK;
}

HRESULT CZelCommHandlerSerial::DeviceName(std::string* device) {
  if (device == nullptr) return E_POINTER;
  BStr prefix;
  ZEL_TRY(LoadResourceString(kSerialDevicePrefixStringId, &prefix));
  *device = prefix.str() + std::to_string(port_.load());
  return S_OK;
}

HRESULT CZelCommHandlerSerial::Connect() {
  MutexLock hold(&request_lock_);
  // Already open (the server disconnects first, so this is a client's extra call): the open
  // device is kept as it is.
  if (connected_) return S_OK;
  std::string device;
  ZEL_TRY(DeviceName(&device));
  uint32_t baud_rate = baud_rate_.load();
  // A rate of 0 or one without a line speed is refused here (E_COMM_BAD_BAUD_RATE), not at the
  // put, so a stored configuration always loads and the error shows where the line is opened.
  ZEL_TRY(line_.Open(device, baud_rate));
  write_multiplier_ms_ = 38400 / baud_rate;
  connected_ = true;
  return S_OK;
}

HRESULT CZelCommHandlerSerial::Disconnect() {
  MutexLock hold(&request_lock_);
  if (!connected_) return S_FALSE;
  HRESULT hr = line_.Close();
  // The descriptor is gone whatever close reported, so the link is closed either way.
  connected_ = false;
  return Failed(hr) ? hr : S_OK;
}

HRESULT CZelCommHandlerSerial::BeginAtomicRequest() {
  request_lock_.Lock();
  return S_OK;
}

HRESULT CZelCommHandlerSerial::EndAtomicRequest() {
  request_lock_.Unlock();
  return S_OK;
}

HRESULT CZelCommHandlerSerial::SendRequest(const uint8_t* request, uint32_t size, uint8_t** reply) {
  if (reply == nullptr) return E_POINTER;
  *reply = nullptr;
  if (request == nullptr && size > 0) return E_POINTER;
  MutexLock hold(&request_lock_);
  if (!connected_) return E_FAIL;
  if (interrupt_.interrupted()) return E_ABORT;
  // The write may take 38400 / BaudRate ms per byte. Above 38400 baud that is 0, which would be
  // no limit at all; the write is then bounded by the read time-out so a wedged line cannot hang.
  Millis write_timeout{static_cast<int64_t>(write_multiplier_ms_.load()) * size};
  if (write_timeout.count() == 0) write_timeout = kReadTimeout;
  // A reply is only ever the answer to the request just written: anything already waiting is
  // left over from an earlier exchange (a late reply) and goes.
  uint32_t discarded = 0;
  HRESULT hr = line_.DiscardInput(&discarded);
  if (Failed(hr)) return hr;
  if (discarded > 0) {
    discarded_input_.fetch_add(discarded);
    ReportDebug("serial line: discarded " + std::to_string(discarded) +
                " bytes waiting before a request");
  }
  hr = line_.Write(request, size, write_timeout);
  if (Failed(hr)) {
    (void)line_.Purge();
    return hr;
  }
  return ReceiveFrame(reply);
}

// REQUIRES: request_lock_ is held and the line is open.
HRESULT CZelCommHandlerSerial::ReceiveFrame(uint8_t** reply) {
  FrameReceiver receiver;
  std::array<uint8_t, kChunkSize> chunk;
  for (;;) {
    // A line that never stops sending (bytes that never make a frame, or a frame trickling in)
    // is given up on when the waits are interrupted, even though no read times out.
    if (interrupt_.interrupted()) return E_ABORT;
    uint32_t got = 0;
    ZEL_TRY(line_.ReadChunk(chunk.data(), kChunkSize, &got, kReadTimeout));
    // Bytes of the chunk after the end of the frame are dropped.
    ZEL_TRY(receiver.Feed(chunk.data(), got, nullptr));
    if (receiver.done()) {
      *reply = receiver.TakeFrame().release();
      return S_OK;
    }
  }
}

HRESULT CZelCommHandlerSerial::put_Port(Variant port) {
  Variant number;
  ZEL_TRY(ConvertArgument(port, VT_UI1, &number));
  return ChangeSetting([&] {
    port_ = number.ui1();
    return S_OK;
  });
}

HRESULT CZelCommHandlerSerial::get_Port(Variant* port) {
  if (port == nullptr) return E_POINTER;
  *port = Variant::UI1(port_.load());
  return S_OK;
}

HRESULT CZelCommHandlerSerial::put_BaudRate(Variant baud_rate) {
  Variant number;
  ZEL_TRY(ConvertArgument(baud_rate, VT_UI4, &number));
  return ChangeSetting([&] {
    baud_rate_ = number.ui4();
    return S_OK;
  });
}

HRESULT CZelCommHandlerSerial::get_BaudRate(Variant* baud_rate) {
  if (baud_rate == nullptr) return E_POINTER;
  *baud_rate = Variant::UI4(baud_rate_.load());
  return S_OK;
}

// Persisted settings in stream order: "Port", then "BaudRate".
std::array<PersistedProperty, 2> CZelCommHandlerSerial::PropertyMap() {
  return {{
      {"Port", [this](Variant* v) { return get_Port(v); },
       [this](Variant v) { return put_Port(std::move(v)); }},
      {"BaudRate", [this](Variant* v) { return get_BaudRate(v); },
       [this](Variant v) { return put_BaudRate(std::move(v)); }},
  }};
}

}  // namespace zel
