#include "bridge/protocol.h"

#include <cstdio>

namespace zel::bridge {

int HttpStatusFor(HRESULT hr) {
  if (Succeeded(hr)) return 200;
  switch (static_cast<uint32_t>(hr)) {
    case static_cast<uint32_t>(E_BRIDGE_BAD_REQUEST):
    case static_cast<uint32_t>(E_BRIDGE_NAME_TOO_LONG):
    case static_cast<uint32_t>(DISP_E_BADPARAMCOUNT):
    case static_cast<uint32_t>(DISP_E_TYPEMISMATCH):
    case static_cast<uint32_t>(DISP_E_PARAMNOTOPTIONAL):
    case static_cast<uint32_t>(DISP_E_BADVARTYPE):
    case static_cast<uint32_t>(DISP_E_OVERFLOW):
    case static_cast<uint32_t>(DISP_E_NONAMEDARGS):
      return 400;
    case static_cast<uint32_t>(E_BRIDGE_NO_SESSION):
    case static_cast<uint32_t>(E_SRV_SESSION_EXPIRED):
    case static_cast<uint32_t>(E_BRIDGE_NO_TOKEN):
    case static_cast<uint32_t>(E_BRIDGE_BAD_TOKEN):
    case static_cast<uint32_t>(E_BRIDGE_LOGIN_ENDED):
      return 401;
    case static_cast<uint32_t>(E_ACCESSDENIED):
    case static_cast<uint32_t>(E_BRIDGE_NO_ROLE):
    case static_cast<uint32_t>(E_BRIDGE_BAD_HOST):
    case static_cast<uint32_t>(E_BRIDGE_BAD_ORIGIN):
      return 403;
    case static_cast<uint32_t>(E_BRIDGE_NO_ENDPOINT):
    case static_cast<uint32_t>(E_HANDLE):
    case static_cast<uint32_t>(DISP_E_UNKNOWNNAME):
    case static_cast<uint32_t>(DISP_E_MEMBERNOTFOUND):
    case static_cast<uint32_t>(REGDB_E_CLASSNOTREG):
    case static_cast<uint32_t>(CO_E_CLASSSTRING):
    case static_cast<uint32_t>(E_NOINTERFACE):
    case static_cast<uint32_t>(CONNECT_E_NOCONNECTION):
      return 404;
    case static_cast<uint32_t>(E_BRIDGE_BAD_METHOD):
      return 405;
    case static_cast<uint32_t>(E_BRIDGE_BODY_TOO_LARGE):
      return 413;
    case static_cast<uint32_t>(E_BRIDGE_HANDLE_LIMIT):
    case static_cast<uint32_t>(E_BRIDGE_STREAM_LIMIT):
    case static_cast<uint32_t>(E_BRIDGE_SESSION_LIMIT):
    case static_cast<uint32_t>(E_BRIDGE_ADVISE_LIMIT):
    case static_cast<uint32_t>(E_BRIDGE_IDENTITY_SESSION_LIMIT):
    case static_cast<uint32_t>(E_BRIDGE_BACKOFF):
      return 429;
    case static_cast<uint32_t>(E_BRIDGE_HEADERS_TOO_LARGE):
      return 431;
    case static_cast<uint32_t>(E_BRIDGE_BUSY):
      return 503;
    default:
      // The member ran and failed: the request itself was served.
      return 200;
  }
}

std::string StatusText(HRESULT hr) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<uint32_t>(hr));
  return text;
}

std::string StatusNameOf(HRESULT hr) {
  struct Entry {
    HRESULT hr;
    const char* name;
  };
  static constexpr Entry kNames[] = {
      {E_BRIDGE_BAD_REQUEST, "E_BRIDGE_BAD_REQUEST"},
      {E_BRIDGE_BODY_TOO_LARGE, "E_BRIDGE_BODY_TOO_LARGE"},
      {E_BRIDGE_HANDLE_LIMIT, "E_BRIDGE_HANDLE_LIMIT"},
      {E_BRIDGE_STREAM_LIMIT, "E_BRIDGE_STREAM_LIMIT"},
      {E_BRIDGE_BUSY, "E_BRIDGE_BUSY"},
      {E_BRIDGE_NO_SESSION, "E_BRIDGE_NO_SESSION"},
      {E_BRIDGE_SESSION_LIMIT, "E_BRIDGE_SESSION_LIMIT"},
      {E_BRIDGE_NO_ENDPOINT, "E_BRIDGE_NO_ENDPOINT"},
      {E_BRIDGE_BAD_METHOD, "E_BRIDGE_BAD_METHOD"},
      {E_BRIDGE_ADVISE_LIMIT, "E_BRIDGE_ADVISE_LIMIT"},
      {E_BRIDGE_LISTEN_FAILED, "E_BRIDGE_LISTEN_FAILED"},
      {E_BRIDGE_NO_ROLE, "E_BRIDGE_NO_ROLE"},
      {E_BRIDGE_NO_TOKEN, "E_BRIDGE_NO_TOKEN"},
      {E_BRIDGE_BAD_TOKEN, "E_BRIDGE_BAD_TOKEN"},
      {E_BRIDGE_BAD_HOST, "E_BRIDGE_BAD_HOST"},
      {E_BRIDGE_BAD_ORIGIN, "E_BRIDGE_BAD_ORIGIN"},
      {E_BRIDGE_NAME_TOO_LONG, "E_BRIDGE_NAME_TOO_LONG"},
      {E_BRIDGE_IDENTITY_SESSION_LIMIT, "E_BRIDGE_IDENTITY_SESSION_LIMIT"},
      {E_BRIDGE_HEADERS_TOO_LARGE, "E_BRIDGE_HEADERS_TOO_LARGE"},
      {E_BRIDGE_BACKOFF, "E_BRIDGE_BACKOFF"},
      {E_BRIDGE_PEER_CONNECTION_LIMIT, "E_BRIDGE_PEER_CONNECTION_LIMIT"},
      {E_BRIDGE_HEADER_TIMEOUT, "E_BRIDGE_HEADER_TIMEOUT"},
      {E_BRIDGE_LOGIN_ENDED, "E_BRIDGE_LOGIN_ENDED"},
  };
  for (const Entry& e : kNames) {
    if (e.hr == hr) return e.name;
  }
  return StatusName(hr);
}

bool ParseStatusText(const std::string& text, HRESULT* hr) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
  }
  if (digits.empty() || digits.size() > 8) return false;
  uint32_t value = 0;
  for (char c : digits) {
    uint32_t d;
    if (c >= '0' && c <= '9') {
      d = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      d = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      d = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    value = value << 4 | d;
  }
  *hr = static_cast<HRESULT>(value);
  return true;
}

}  // namespace zel::bridge
