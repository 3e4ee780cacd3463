#include "platform/xml_text.h"

#include <cstdio>

#include "platform/text_encoding.h"

namespace zel {
namespace {

// True for the characters written as references.
bool Special(unsigned char c) { return c == '"' || c == '&' || c == '\'' || c == '<' || c == '>'; }
// Control characters XML 1.0 does not allow, even as references.
bool Forbidden(unsigned char c) { return c < 0x20 && c != '\t' && c != '\n' && c != '\r'; }

void AppendByte(std::string* out, unsigned char c) {
  if (Special(c)) {
    char ref[8];
    std::snprintf(ref, sizeof ref, "&#%d;", c);
    out->append(ref);
  } else {
    out->push_back(Forbidden(c) ? '?' : static_cast<char>(c));
  }
}

// The length of the valid UTF-8 sequence at text[i] (2 to 4), or 0 when it is not one.
size_t Utf8SequenceLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(i);
  size_t n;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (byte(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and code points past U+10FFFF are not characters.
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) {
    return 0;
  }
  return n;
}

}  // namespace

void AppendXmlEscaped(std::string* out, std::string_view utf8) {
  out->reserve(out->size() + utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      AppendByte(out, c);
      ++i;
    } else if (size_t n = Utf8SequenceLength(utf8, i); n != 0) {
      out->append(utf8.substr(i, n));
      i += n;
    } else {
      out->push_back('?');
      ++i;
    }
  }
}

std::string XmlEscaped(std::string_view utf8) {
  std::string out;
  AppendXmlEscaped(&out, utf8);
  return out;
}

std::string XmlEscapedLatin1(std::string_view utf8) {
  std::string out;
  for (char c : Utf8ToLatin1(utf8)) AppendByte(&out, static_cast<unsigned char>(c));
  return out;
}

}  // namespace zel
