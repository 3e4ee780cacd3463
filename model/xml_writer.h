// The XML snapshot writers: every collection and every element writes itself as XML to a
// destination object the client hands over (a page's response object, a stream, an HTML
// document; platform/xml_destination.h).
//
//   element:     <TAG><KEY>value</KEY>...</TAG>      one child per saved property
//   collection:  <TAGS>element snippets in list order</TAGS>
//   SaveXML adds the declaration <?xml version="1.0" encoding="ISO-8859-1"?> in front, followed
//   by one line feed in the response and HTML modes and by nothing in the stream mode.
//
// An element's children are what a save of it into an in-memory property bag holds, in the
// fixed order of its class (XmlLayoutOf), each value converted to text (booleans as "True" and
// "False"), converted to ISO-8859-1 and escaped (platform/xml_text.h). A property whose value
// does not convert is left out. The byte layout is fixed (declaration, no whitespace, decimal
// references, the encoding), so the text is written by hand rather than through an XML library.
//
// Writes: in the response and HTML modes the declaration and the opening tag are one write, each
// child one write, the closing tag one write, and the destination's answers are not checked. In
// the stream mode every piece is its own Write, and a failed Write ends the writer at once with
// its code (no closing tag follows).
//
// Thread contract: stateless; the element and collection lock themselves while they are read.
#pragma once

#include <span>
#include <string_view>

#include "platform/dispatch.h"
#include "platform/variant.h"
#include "platform/xml_destination.h"

namespace zel {

inline constexpr std::string_view kXmlDeclaration =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>";

// The element tag and child order of an element class, by its type name ("CZelZone"). Keys a
// class saves that its order does not name follow in save order; a class with no entry (kinds
// still to come) writes "ELEMENT" with its keys in save order.
struct XmlLayout {
  std::string_view type_name;
  std::string_view element_tag;
  std::span<const std::string_view> order;
};
const XmlLayout& XmlLayoutOf(std::string_view type_name);
// Every layout of the table, for tests.
std::span<const XmlLayout> XmlLayouts();

// SaveXML (declaration true) and SaveXMLSnippet (false) of an element: `element` must answer
// IPersistPropertyBag for its children.
HRESULT SaveElementXml(IDispatch* element, const Variant& destination, bool declaration);
// The same to a destination already chosen.
HRESULT WriteElementXml(IDispatch* element, const XmlDestination& out, bool declaration);

// SaveXML of a collection: declaration, <tag>, each element's SaveXMLSnippet given the chosen
// destination (as a VT_UNKNOWN variant), </tag>. `elements` are the collection's elements in
// list order. The result is the first failure of an element, else S_OK; the tags are written
// whatever it is (a failed stream write ends at once).
HRESULT SaveCollectionXml(std::string_view tag, std::span<const ComPtr<IDispatch>> elements,
                          const Variant& destination);

}  // namespace zel
