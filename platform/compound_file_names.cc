// Element names of a compound file: validation, case folding and the directory order.
#include <string>
#include <string_view>

#include "platform/compound_file.h"
#include "platform/compound_file_format.h"
#include "platform/text_encoding.h"

namespace zel {
namespace {

// Upper case of one UTF-16 code unit. The format compares names by their simple upper case;
// we fold ASCII and Latin-1 letters, which covers every name this system and the common
// writers use. Other code units compare as they are.
char16_t FoldUnit(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  // Latin-1 a-grave .. thorn, except the division sign 0xF7.
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;  // y-diaeresis upper-cases outside Latin-1
  return c;
}

}  // namespace

HRESULT ValidateStreamName(std::string_view name) {
  std::u16string wide = Utf8ToUtf16(name);
  if (wide.empty() || wide.size() > cfb::kMaxNameChars) return STG_E_INVALIDNAME;
  for (char16_t c : wide) {
    if (c == 0 || c == u'/' || c == u'\\' || c == u':' || c == u'!') return STG_E_INVALIDNAME;
  }
  return S_OK;
}

std::u16string FoldStreamName(std::string_view name) {
  std::u16string wide = Utf8ToUtf16(name);
  for (char16_t& c : wide) c = FoldUnit(c);
  return wide;
}

int CompareStreamNames(std::u16string_view folded_a, std::u16string_view folded_b) {
  if (folded_a.size() != folded_b.size()) return folded_a.size() < folded_b.size() ? -1 : 1;
  int c = folded_a.compare(folded_b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace zel
