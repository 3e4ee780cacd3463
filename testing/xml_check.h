// Reading back the XML we write, in tests, with an independent parser (libxml2): a document must
// be well-formed, and its elements are handed back as a small tree whose texts are UTF-8, so a
// test compares them with the values written.
//
// Thread contract: stateless; each call parses on the calling thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zel {

struct XmlNode {
  std::string name;
  std::string text;  // the element's own text (character data directly inside it), UTF-8
  std::vector<XmlNode> children;

  // The first child of that name, or null.
  const XmlNode* Child(std::string_view child_name) const;
};

// Parses `bytes` strictly (no recovery, no network, no entity expansion beyond the built-in
// ones). `encoding` overrides the document's own (null: the declaration, else UTF-8). On failure
// returns false with libxml2's message in *error.
bool ParseXml(std::string_view bytes, XmlNode* root, std::string* error,
              const char* encoding = nullptr);

}  // namespace zel
