#include "platform/guid.h"

#include <sys/random.h>

#include <cstdio>
#include <random>

namespace zel {

GUID NewGuid() {
  // A login cookie is a GUID and a credential of the bridge: its random bits come from the
  // kernel's generator, so one cookie tells nothing about the next.
  uint64_t words[2];
  if (getrandom(words, sizeof words, 0) != static_cast<ssize_t>(sizeof words)) {
    std::random_device device;  // the same generator by another way
    for (uint64_t& w : words) w = static_cast<uint64_t>(device()) << 32 | device();
  }
  const uint64_t a = words[0], b = words[1];
  GUID g;
  g.data1 = static_cast<uint32_t>(a >> 32);
  g.data2 = static_cast<uint16_t>(a >> 16);
  g.data3 = static_cast<uint16_t>((a & 0x0FFF) | 0x4000);  // version 4
  for (int i = 0; i < 8; ++i) g.data4[i] = static_cast<uint8_t>(b >> (56 - 8 * i));
  g.data4[0] = static_cast<uint8_t>((g.data4[0] & 0x3F) | 0x80);  // variant 10
  return g;
}

std::string GuidToString(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1,
                g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4],
                g.data4[5], g.data4[6], g.data4[7]);
  return text;
}

HRESULT ParseGuid(std::string_view text, GUID* out) {
  if (out == nullptr) return E_POINTER;
  if (text.size() == 38) {
    if (text.front() != '{' || text.back() != '}') return CO_E_CLASSSTRING;
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return CO_E_CLASSSTRING;
  uint8_t bytes[16];
  int n = 0;
  for (size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return CO_E_CLASSSTRING;
      ++i;
      continue;
    }
    auto hex = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int hi = hex(text[i]), lo = hex(text[i + 1]);
    if (hi < 0 || lo < 0) return CO_E_CLASSSTRING;
    bytes[n++] = static_cast<uint8_t>(hi << 4 | lo);
    i += 2;
  }
  GUID g;
  g.data1 =
      uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
  g.data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  g.data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  for (int i = 0; i < 8; ++i) g.data4[i] = bytes[8 + i];
  *out = g;
  return S_OK;
}

std::array<uint8_t, 16> GuidToBytes(const GUID& g) {
  std::array<uint8_t, 16> b{};
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(g.data1 >> (8 * i));
  b[4] = static_cast<uint8_t>(g.data2);
  b[5] = static_cast<uint8_t>(g.data2 >> 8);
  b[6] = static_cast<uint8_t>(g.data3);
  b[7] = static_cast<uint8_t>(g.data3 >> 8);
  for (int i = 0; i < 8; ++i) b[8 + i] = g.data4[i];
  return b;
}

GUID GuidFromBytes(const uint8_t* b) {
  GUID g;
  g.data1 = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
  g.data2 = static_cast<uint16_t>(b[4] | b[5] << 8);
  g.data3 = static_cast<uint16_t>(b[6] | b[7] << 8);
  for (int i = 0; i < 8; ++i) g.data4[i] = b[8 + i];
  return g;
}

}  // namespace zel
