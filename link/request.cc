#include "link/request.h"

#include <array>
#include <optional>

#include "link/atomic_bracket.h"
#include "link/convert_argument.h"
#include "link/frame.h"
#include "link/link_health.h"
#include "link/no_resends.h"

namespace zel {
namespace {

// One SendRequest; the reply buffer is owned at once so it is released on every failure path.
HRESULT SendOnce(IZelCommHandler* transport, const uint8_t* request, uint32_t size,
                 ReplyBuffer* reply) {
  uint8_t* raw = nullptr;
  HRESULT hr = transport->SendRequest(request, size, &raw);
  ReplyBuffer owned(raw);
  if (Succeeded(hr) && !owned) hr = E_OUTOFMEMORY;
  if (Succeeded(hr)) *reply = std::move(owned);
  return hr;
}

}  // namespace

HRESULT SendControllerRequest(IZelCommHandler* transport, bool atomic, const uint8_t* request,
                              uint32_t size, ReplyBuffer* reply) {
  if (transport == nullptr) return E_FAIL;
  if (reply == nullptr) return E_POINTER;
  reply->reset();
  HRESULT hr;
  if (atomic) {
    AtomicBracket bracket(transport);
    // Beyond the contract: on a link that is down a request goes out once. Every poll is a probe
    // then, and on the network eleven sends would hold the link 33 s per request, keeping the
    // re-login that brings it back waiting behind them. Looked at inside the bracket, so a
    // request that waited there for another's failure sees it.
    std::optional<NoResends> once;
    if (LinkHealth::Process().Now().state == LinkState::kDown) once.emplace(transport);
    hr = SendOnce(transport, request, size, reply);
  } else {
    hr = SendOnce(transport, request, size, reply);
  }
  LinkHealth::Process().Record(Succeeded(hr));
  return hr;
}

namespace {

// Sends a request whose only good answer is the acknowledge frame.
HRESULT SendExpectingAck(IZelCommHandler* transport, bool atomic, const uint8_t* request,
                         uint32_t size) {
  ReplyBuffer reply;
  ZEL_TRY(SendControllerRequest(transport, atomic, request, size, &reply));
  return IsAckFrame(reply.get()) ? S_OK : CO_E_NOT_SUPPORTED;
}

}  // namespace

HRESULT SendControllerCommand(IZelCommHandler* transport, uint8_t command, uint8_t parameter1,
                              uint16_t parameter2) {
  // Template: start, L = 5 (type + 4 data bytes), MSG_COMMAND; data and CRC filled below.
  std::array<uint8_t, 9> frame = {kFrameStart, 0x05, MSG_COMMAND, 0xFF, 0xFF,
                                  0xFF,        0xFF, 0xFF,        0xFF};
  frame[3] = command;
  frame[4] = parameter1;
  frame[5] = static_cast<uint8_t>(parameter2 >> 8);
  frame[6] = static_cast<uint8_t>(parameter2 & 0xFF);
  SetFrameCrc(frame.data(), frame.size());
  // Beyond the contract: a command goes out once. A resent command whose first reply was lost
  // would be carried out twice; with one send a lost reply fails the command instead, and the
  // caller hears of it.
  if (transport == nullptr) return E_FAIL;
  AtomicBracket bracket(transport);
  NoResends once(transport);
  return SendExpectingAck(transport, false, frame.data(), frame.size());
}

HRESULT SendControllerWrite(IZelCommHandler* transport, bool atomic, const uint8_t* request,
                            uint32_t size) {
  return SendExpectingAck(transport, atomic, request, size);
}

HRESULT SendItemRequest(IZelCommHandler* transport, bool atomic, uint8_t type, uint16_t number,
                        ReplyBuffer* reply) {
  if (reply == nullptr) return E_POINTER;
  reply->reset();
  std::array<uint8_t, 9> frame{};
  uint32_t size = 0;
  frame[0] = kFrameStart;
  frame[2] = type;
  if (number < 256) {
    // L = 3: type, first, last, each one byte.
    frame[1] = 0x03;
    frame[3] = static_cast<uint8_t>(number);
    frame[4] = static_cast<uint8_t>(number);
    size = 7;
  } else {
    // L = 5: type, first and last as big-endian 16-bit numbers.
    frame[1] = 0x05;
    frame[3] = frame[5] = static_cast<uint8_t>(number >> 8);
    frame[4] = frame[6] = static_cast<uint8_t>(number & 0xFF);
    size = 9;
  }
  SetFrameCrc(frame.data(), size);
  ReplyBuffer got;
  ZEL_TRY(SendControllerRequest(transport, atomic, frame.data(), size, &got));
  // The negative acknowledge means the controller has no such item; the buffer goes here.
  if (IsNakFrame(got.get())) return S_FALSE;
  *reply = std::move(got);
  return S_OK;
}

HRESULT GetOptionalByte(const Variant& argument, uint8_t* out) {
  if (out == nullptr) return E_POINTER;
  *out = 0;
  if (argument.vt() == VT_ERROR) return S_OK;  // an omitted optional argument
  Variant converted;
  ZEL_TRY(ConvertArgument(argument, VT_UI1, &converted));
  *out = converted.ui1();
  return S_OK;
}

HRESULT MakeStringArrayVariant(std::span<const BStr> strings, Variant* out) {
  if (out == nullptr) return E_POINTER;
  // Elements are VT_BSTR variants and the tag says VT_ARRAY | VT_BSTR, so tag and elements agree.
  SafeArray array(VT_BSTR, strings.size());
  for (size_t i = 0; i < strings.size(); ++i) array.variants()[i] = Variant::Str(strings[i]);
  *out = Variant::Array(std::move(array), VT_BSTR);
  return S_OK;
}

}  // namespace zel
