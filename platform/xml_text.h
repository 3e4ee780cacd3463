// Escaping of text for the XML this system writes by hand: the status XML, the server log and the
// object snapshots. Their byte layout is fixed (no declaration or a fixed one, no whitespace,
// character references in decimal), so they are written with these helpers rather than through
// an XML library.
//
// The five characters " & ' < > become "&#34;", "&#38;", "&#39;", "&#60;" and "&#62;"; every
// other byte stays as it is, except what no XML document may hold: control characters other
// than tab, line feed and carriage return (a name with an embedded zero byte, say) become '?',
// and so does each byte of an invalid UTF-8 sequence in the UTF-8 form. So what we write is
// always well-formed, whatever a name holds.
//
// Thread contract: stateless.
#pragma once

#include <string>
#include <string_view>

namespace zel {

// UTF-8 text in, escaped UTF-8 out (for documents without a declaration, which XML reads as
// UTF-8: the status XML and the server log).
void AppendXmlEscaped(std::string* out, std::string_view utf8);
std::string XmlEscaped(std::string_view utf8);

// UTF-8 text in, escaped ISO-8859-1 out (for documents that declare that encoding: the
// snapshots). Characters outside ISO-8859-1 become '?'.
std::string XmlEscapedLatin1(std::string_view utf8);

}  // namespace zel
