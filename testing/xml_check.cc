#include "testing/xml_check.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

namespace zel {
namespace {

void Convert(xmlNode* from, XmlNode* to) {
  to->name = reinterpret_cast<const char*>(from->name);
  for (xmlNode* c = from->children; c != nullptr; c = c->next) {
    if (c->type == XML_ELEMENT_NODE) {
      to->children.emplace_back();
      Convert(c, &to->children.back());
    } else if (c->type == XML_TEXT_NODE && c->content != nullptr) {
      to->text += reinterpret_cast<const char*>(c->content);
    }
  }
}

}  // namespace

const XmlNode* XmlNode::Child(std::string_view child_name) const {
  for (const XmlNode& c : children) {
    if (c.name == child_name) return &c;
  }
  return nullptr;
}

bool ParseXml(std::string_view bytes, XmlNode* root, std::string* error, const char* encoding) {
  xmlDocPtr doc =
      xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), "memory.xml", encoding,
                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr) {
    const xmlError* e = xmlGetLastError();
    *error = e != nullptr && e->message != nullptr ? e->message : "does not parse";
    return false;
  }
  *root = XmlNode{};
  Convert(xmlDocGetRootElement(doc), root);
  xmlFreeDoc(doc);
  return true;
}

}  // namespace zel
