// Conversions between the text forms the system meets: UTF-8 (in memory), UTF-16LE (stored
// streams and the wide-string stream form), ISO-8859-1 (the controller's single-byte names and
// the XML files, whose declaration names that encoding).
//
// Thread contract: stateless.
#pragma once

#include <string>
#include <string_view>

namespace zel {

// Invalid UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);
// Characters outside ISO-8859-1 become '?'.
std::string Utf8ToLatin1(std::string_view utf8);
std::string Latin1ToUtf8(std::string_view latin1);

// ASCII-only case folding (A-Z to a-z), as the collections compare names.
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);
std::string AsciiToLower(std::string_view s);

}  // namespace zel
