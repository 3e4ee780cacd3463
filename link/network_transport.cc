#include "link/network_transport.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "link/convert_argument.h"
#include "link/frame.h"
#include "platform/resource_library.h"
#include "platform/system_log.h"
#include "platform/text_encoding.h"

namespace zel {
namespace {

// An answer to one of the last 0x7FFF packets: late, not wrong. 0 is never sent, so it is
// nobody's earlier packet.
bool IsEarlierSequence(uint16_t received, uint16_t current) {
  uint16_t behind = static_cast<uint16_t>(current - received);
  return received != 0 && behind != 0 && behind < 0x8000;
}

}  // namespace

const MemberTable& CZelCommHandlerNetwork::Members() {
  using T = CZelCommHandlerNetwork;
  static const MemberTable table =
      // The private key is a secret like the access code: admin reads it, nobody else.
      CommHandlerMembers<T>("CZelCommHandlerNetwork")
          .Put(Role::kAdmin, "Address", kDispidNetworkAddress, &T::put_Address, {"bstrAddress"})
          .Get(Role::kRead, "Address", kDispidNetworkAddress, &T::get_Address)
          .Put(Role::kAdmin, "Port", kDispidNetworkPort, &T::put_Port, {"vtPort"})
          .Get(Role::kRead, "Port", kDispidNetworkPort, &T::get_Port)
          .Put(Role::kAdmin, "PrivateKey", kDispidNetworkPrivateKey, &T::put_PrivateKey,
               {"bstrPrivateKey"})
          .Get(Role::kAdmin, "PrivateKey", kDispidNetworkPrivateKey, &T::get_PrivateKey)
          .Build();
  return table;
}

CZelCommHandlerNetwork::CZelCommHandlerNetwork() = default;

CZelCommHandlerNetwork::~CZelCommHandlerNetwork() { (void)Disconnect(); }

HRESULT CZelCommHandlerNetwork::get_Name(BStr* name) {
  if (name == nullptr) return E_POINTER;
  return LoadResourceString(kNetworkNameStringId, name);
}

HRESULT CZelCommHandlerNetwork::get_Description(BStr* /*description*/) { return E_NOTIMPL; }

HRESULT CZelCommHandlerNetwork::get_SettingsUI(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = kClsidZelCommHandlerNetworkUI;
  return S_OK;
}

HRESULT CZelCommHandlerNetwork::BeginAtomicRequest() {
  request_lock_.Lock();
  return S_OK;
}

HRESULT CZelCommHandlerNetwork::EndAtomicRequest() {
  request_lock_.Unlock();
  return S_OK;
}

bool CZelCommHandlerNetwork::TryBeginAtomicRequest() { return request_lock_.TryLock(); }

void CZelCommHandlerNetwork::InterruptWaits() { interrupt_.Interrupt(); }

void CZelCommHandlerNetwork::ResumeWaits() { interrupt_.Resume(); }

uint16_t CZelCommHandlerNetwork::AdvanceSequence() {
  uint16_t next = NextSequence(sequence_.load());
  sequence_ = next;
  return next;
}

HRESULT CZelCommHandlerNetwork::Pause(Millis production) {
  auto deadline = std::chrono::steady_clock::now() + Clock::Get()->Scaled(production);
  for (;;) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return S_OK;
    pollfd p{interrupt_.fd(), POLLIN, 0};
    int n = poll(&p, interrupt_.fd() >= 0 ? 1 : 0, static_cast<int>(left.count()));
    if (n > 0) return E_ABORT;
  }
}

HRESULT CZelCommHandlerNetwork::ReceiveAnswer(uint16_t sequence, uint32_t* size) {
  uint8_t* buffer = receive_buffer_->data();
  CUDPSocket::Deadline deadline = socket_->ReceiveDeadline();
  for (;;) {
    std::memset(buffer, 0, kPacketBufferSize);
    ZEL_TRY(socket_->Receive(buffer, kPacketBufferSize, size, deadline, interrupt_.fd()));
    // Left open by the contract: a datagram too short for its header is refused.
    if (*size < kPacketHeaderSize) return E_COMM_SHORT_READ;
    // Beyond the contract: an answer to an earlier packet (a reply that came after its
    // attempt's time-out) is dropped and the wait goes on, so the link never falls a datagram
    // behind.
    if (IsEarlierSequence(PacketSequence(buffer), sequence)) {
      stale_replies_.fetch_add(1);
      continue;
    }
    return S_OK;
  }
}

// REQUIRES: the send buffer holds the control packet of `size` bytes.
HRESULT CZelCommHandlerNetwork::ControlExchange(uint32_t size, uint8_t expected_type,
                                                int attempts) {
  if (!socket_) return E_UNEXPECTED;
  uint16_t sequence = PacketSequence(send_buffer_->data());
  HRESULT hr = E_FAIL;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    // Beyond the contract: whatever is still queued (late answers) goes before the send.
    socket_->DrainPending();
    hr = socket_->Send(send_buffer_->data(), size);
    if (Succeeded(hr)) {
      uint32_t got = 0;
      hr = ReceiveAnswer(sequence, &got);
      if (Succeeded(hr) && (PacketSequence(receive_buffer_->data()) != sequence ||
                            PacketType(receive_buffer_->data()) != expected_type)) {
        hr = E_UNEXPECTED;
      }
      if (Succeeded(hr)) return S_OK;
    }
    if (hr == E_ABORT) return hr;
    // The pause follows every failed attempt, the last one too: a silent controller costs
    // 11 x (3 s + 1 s).
    if (Pause(kControlPause) == E_ABORT) return E_ABORT;
  }
  return hr;
}

void CZelCommHandlerNetwork::DropSession() {
  cipher_.reset();
  socket_.reset();
  send_buffer_.reset();
  receive_buffer_.reset();
  connected_ = false;
  sequence_ = 0;
}

HRESULT CZelCommHandlerNetwork::Connect() {
  if (connected_) return S_OK;
  MutexLock hold(&request_lock_);
  if (connected_) return S_OK;
  if (!send_buffer_) send_buffer_ = std::make_unique<std::array<uint8_t, kPacketBufferSize>>();
  if (!receive_buffer_) {
    receive_buffer_ = std::make_unique<std::array<uint8_t, kPacketBufferSize>>();
  }
  if (!cipher_) cipher_ = std::make_unique<SessionCipher>();
  if (!socket_) socket_ = std::make_unique<CUDPSocket>(kReceiveTimeout, &foreign_datagrams_);

  std::string host;
  PrivateKey key;
  {
    MutexLock g(&settings_mu_);
    host = Utf8ToLatin1(address_);
    key = key_;
  }
  bool resolve_failed = false;
  if (Failed(socket_->Open(host, static_cast<uint16_t>(port_.load() & 0xFFFF), &resolve_failed))) {
    if (resolve_failed) ReportEvent(MSG_HOST_NOT_RESOLVED, E_FAIL, host);
    socket_.reset();
    return E_FAIL;
  }

  uint8_t* out = send_buffer_->data();
  uint8_t* in = receive_buffer_->data();

  // Step 1: ask for a new session; the answer carries the session id.
  std::memset(out, 0, kPacketBufferSize);
  WritePacketHeader(out, AdvanceSequence(), kPacketNewSession);
  HRESULT hr = ControlExchange(kPacketHeaderSize, kPacketSessionAnswer);
  if (Failed(hr)) {
    socket_.reset();
    return hr == E_ABORT ? hr : E_COMM_SESSION_FAILED;
  }
  SessionId session_id;
  std::copy_n(in + kSessionIdOffset, kSessionIdSize, session_id.begin());
  // The secure-connection request echoes offsets 6 to 21 of the answer (zero past its end: the
  // receive buffer was zeroed before the receive).
  std::array<uint8_t, kCipherBlockSize> echo;
  std::copy_n(in + kSessionIdOffset, kCipherBlockSize, echo.begin());

  hr = cipher_->SetKey(DeriveSessionKey(key, session_id));
  if (Failed(hr)) {
    socket_.reset();
    return hr == E_OUTOFMEMORY ? hr : E_COMM_KEY_SETUP_FAILED;
  }

  // Step 2: the echo, masked and encrypted under the session key.
  std::memset(out, 0, kPacketBufferSize);
  uint16_t sequence = AdvanceSequence();
  WritePacketHeader(out, sequence, kPacketSecureConnection);
  std::copy(echo.begin(), echo.end(), out + kPacketHeaderSize);
  hr = cipher_->Seal(out + kPacketHeaderSize, kCipherBlockSize, sequence);
  if (Failed(hr)) {
    socket_.reset();
    return E_COMM_KEY_SETUP_FAILED;
  }
  hr = ControlExchange(kPacketHeaderSize + kCipherBlockSize, kPacketSecureAnswer);
  if (Failed(hr)) {
    socket_.reset();
    if (hr == E_ABORT) return hr;
    // The controller answered step 1 but not step 2: it could not read our request, which is
    // what a wrong private key looks like. Said once until a session succeeds again.
    if (!refusal_logged_.exchange(true)) {
      ReportEvent(MSG_SESSION_NOT_ACCEPTED, E_COMM_SESSION_FAILED, host);
    }
    return E_COMM_SESSION_FAILED;
  }
  refusal_logged_ = false;
  connected_ = true;
  return S_OK;
}

HRESULT CZelCommHandlerNetwork::Disconnect() {
  if (!connected_) return S_FALSE;
  MutexLock hold(&request_lock_);
  if (!connected_) return S_FALSE;
  HRESULT hr = S_FALSE;
  if (socket_) {
    uint8_t* out = send_buffer_->data();
    std::memset(out, 0, kPacketBufferSize);
    WritePacketHeader(out, AdvanceSequence(), kPacketTerminate);
    // With resends off (a re-login on a dead link) the terminate goes out once.
    hr = ControlExchange(kPacketHeaderSize, kPacketTerminateAnswer, resends_ ? kAttempts : 1);
  }
  DropSession();
  return hr;
}

HRESULT CZelCommHandlerNetwork::SendRequest(const uint8_t* request, uint32_t size,
                                            uint8_t** reply) {
  if (reply == nullptr) return E_POINTER;
  *reply = nullptr;
  if (request == nullptr && size > 0) return E_POINTER;
  MutexLock hold(&request_lock_);
  if (!connected_ || !socket_) return E_FAIL;
  // Left open by the contract: an empty request or one that does not fit the 256-byte packet
  // is refused before anything is sent.
  if (size == 0 || size > kMaxNetworkRequest) return E_INVALIDARG;

  uint8_t* out = send_buffer_->data();
  uint8_t* in = receive_buffer_->data();
  const uint32_t padded = PaddedSize(size);
  HRESULT hr = E_FAIL;
  // Beyond the contract: inside a walk one send only, as an acknowledge sent again would make
  // the controller skip a reply; the walk starts again instead.
  const int sends = resends_ ? kAttempts : 1;
  for (int attempt = 0; attempt < sends; ++attempt) {
    std::memset(out, 0, kPacketBufferSize);
    uint16_t sequence = AdvanceSequence();
    WritePacketHeader(out, sequence, kPacketFrame);
    std::memcpy(out + kPacketHeaderSize, request, size);
    ZEL_TRY(cipher_->Seal(out + kPacketHeaderSize, padded, sequence));
    // Beyond the contract: late answers still queued are dropped before the send.
    socket_->DrainPending();
    hr = socket_->Send(out, kPacketHeaderSize + padded);
    if (Failed(hr)) continue;
    uint32_t got = 0;
    hr = ReceiveAnswer(sequence, &got);
    if (hr == E_ABORT) return hr;
    if (Failed(hr)) continue;
    hr = OpenFrameAnswer(cipher_.get(), in, got, sequence, reply);
    if (hr == E_OUTOFMEMORY) return hr;
    if (Succeeded(hr)) return S_OK;
  }
  return hr;
}

HRESULT CZelCommHandlerNetwork::put_Address(BStr address) {
  if (address.IsNull()) return E_INVALIDARG;
  return ChangeSetting([&] {
    MutexLock g(&settings_mu_);
    address_ = address.str();
    return S_OK;
  });
}

HRESULT CZelCommHandlerNetwork::get_Address(BStr* address) {
  if (address == nullptr) return E_INVALIDARG;
  MutexLock g(&settings_mu_);
  *address = BStr(address_);
  return S_OK;
}

HRESULT CZelCommHandlerNetwork::put_Port(Variant port) {
  Variant number;
  ZEL_TRY(ConvertArgument(port, VT_UI4, &number));
  return ChangeSetting([&] {
    port_ = number.ui4();
    return S_OK;
  });
}

HRESULT CZelCommHandlerNetwork::get_Port(Variant* port) {
  if (port == nullptr) return E_POINTER;
  *port = Variant::UI4(port_.load());
  return S_OK;
}

HRESULT CZelCommHandlerNetwork::put_PrivateKey(BStr key) {
  // A malformed text disconnects all the same, and leaves the key as it was.
  return ChangeSetting([&] {
    MutexLock g(&settings_mu_);
    // The text is read one byte per character, as the key's narrow form.
    return ParsePrivateKey(Utf8ToLatin1(key.str()), &key_);
  });
}

HRESULT CZelCommHandlerNetwork::get_PrivateKey(BStr* key) {
  if (key == nullptr) return E_POINTER;
  MutexLock g(&settings_mu_);
  *key = BStr(FormatPrivateKey(key_));
  return S_OK;
}

// Persisted settings in stream order: "Address", "Port", "PrivateKey" (its 47-character text).
std::array<PersistedProperty, 3> CZelCommHandlerNetwork::PropertyMap() {
  auto as_text = [](Variant* v, const BStr& text) {
    *v = Variant::Str(text);
    return S_OK;
  };
  return {{
      {"Address",
       [this, as_text](Variant* v) {
         BStr text;
         ZEL_TRY(get_Address(&text));
         return as_text(v, text);
       },
       [this](Variant v) {
         Variant text;
         ZEL_TRY(ConvertArgument(v, VT_BSTR, &text));
         return put_Address(text.bstr());
       }},
      {"Port", [this](Variant* v) { return get_Port(v); },
       [this](Variant v) { return put_Port(std::move(v)); }},
      {"PrivateKey",
       [this, as_text](Variant* v) {
         BStr text;
         ZEL_TRY(get_PrivateKey(&text));
         return as_text(v, text);
       },
       [this](Variant v) {
         Variant text;
         ZEL_TRY(ConvertArgument(v, VT_BSTR, &text));
         return put_PrivateKey(text.bstr());
       }},
  }};
}

}  // namespace zel
