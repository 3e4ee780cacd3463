#include "utils/xml_document.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

namespace zel {

namespace {

std::string Text(xmlChar* owned) {
  std::string text = owned ? reinterpret_cast<const char*>(owned) : "";
  xmlFree(owned);
  return text;
}

std::string NodeMarkup(xmlDoc* doc, xmlNode* node) {
  xmlBuffer* buffer = xmlBufferCreate();
  if (buffer == nullptr) return {};
  (void)xmlNodeDump(buffer, doc, node, 0, 0);
  std::string text(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                   static_cast<size_t>(xmlBufferLength(buffer)));
  xmlBufferFree(buffer);
  return text;
}

}  // namespace

const MemberTable& CZelXmlDocument::Members() {
  using T = CZelXmlDocument;
  static const MemberTable table =
      MemberTableBuilder<T>("CZelXmlDocument")
          .Get(Role::kRead, "xml", 1, &T::get_xml)
          .Get(Role::kRead, "documentElement", 2, &T::get_documentElement)
          .Build();
  return table;
}

HRESULT CZelXmlDocument::Parse(std::string_view text, ComPtr<CZelXmlDocument>* out) {
  if (out == nullptr) return E_POINTER;
  xmlDoc* doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr || xmlDocGetRootElement(doc) == nullptr) {
    if (doc) xmlFreeDoc(doc);
    return E_INVALIDARG;
  }
  ComPtr<CZelXmlDocument> document = MakeObject<CZelXmlDocument>();
  document->tree_ = XmlTree(doc, xmlFreeDoc);
  *out = std::move(document);
  return S_OK;
}

HRESULT CZelXmlDocument::get_xml(BStr* text) {
  if (text == nullptr) return E_POINTER;
  *text = NodeMarkup(tree_.get(), xmlDocGetRootElement(tree_.get()));
  return S_OK;
}

HRESULT CZelXmlDocument::get_documentElement(IDispatch** node) {
  if (node == nullptr) return E_POINTER;
  *node = MakeObject<CZelXmlNode>(tree_, xmlDocGetRootElement(tree_.get())).Detach();
  return S_OK;
}

const MemberTable& CZelXmlNode::Members() {
  using T = CZelXmlNode;
  static const MemberTable table =
      MemberTableBuilder<T>("CZelXmlNode")
          .Get(Role::kRead, "nodeName", 1, &T::get_nodeName)
          .Get(Role::kRead, "text", 2, &T::get_text)
          .Get(Role::kRead, "xml", 3, &T::get_xml)
          .Method(Role::kRead, "getAttribute", 4, &T::getAttribute, {"name"})
          .Get(Role::kRead, "childNodes", 5, &T::get_childNodes)
          .Build();
  return table;
}

HRESULT CZelXmlNode::get_nodeName(BStr* name) {
  if (name == nullptr) return E_POINTER;
  *name = std::string(reinterpret_cast<const char*>(node_->name));
  return S_OK;
}

HRESULT CZelXmlNode::get_text(BStr* text) {
  if (text == nullptr) return E_POINTER;
  *text = Text(xmlNodeGetContent(node_));
  return S_OK;
}

HRESULT CZelXmlNode::get_xml(BStr* text) {
  if (text == nullptr) return E_POINTER;
  *text = NodeMarkup(tree_.get(), node_);
  return S_OK;
}

HRESULT CZelXmlNode::getAttribute(BStr name, Variant* value) {
  if (value == nullptr) return E_POINTER;
  xmlChar* found = xmlGetProp(node_, reinterpret_cast<const xmlChar*>(name.str().c_str()));
  if (found == nullptr) {
    *value = Variant::Null();
    return S_FALSE;
  }
  *value = Variant::Str(Text(found));
  return S_OK;
}

HRESULT CZelXmlNode::get_childNodes(IDispatch** list) {
  if (list == nullptr) return E_POINTER;
  *list = MakeObject<CZelXmlNodeList>(tree_, node_).Detach();
  return S_OK;
}

const MemberTable& CZelXmlNodeList::Members() {
  using T = CZelXmlNodeList;
  static const MemberTable table = MemberTableBuilder<T>("CZelXmlNodeList")
                                       .Get(Role::kRead, "length", 1, &T::get_length)
                                       .Method(Role::kRead, "item", 0, &T::item, {"index"})
                                       .Build();
  return table;
}

CZelXmlNodeList::CZelXmlNodeList(XmlTree tree, _xmlNode* parent) : tree_(std::move(tree)) {
  for (xmlNode* child = parent->children; child != nullptr; child = child->next) {
    if (child->type == XML_ELEMENT_NODE) nodes_.push_back(child);
  }
}

HRESULT CZelXmlNodeList::get_length(int32_t* length) {
  if (length == nullptr) return E_POINTER;
  *length = static_cast<int32_t>(nodes_.size());
  return S_OK;
}

HRESULT CZelXmlNodeList::item(int32_t index, IDispatch** node) {
  if (node == nullptr) return E_POINTER;
  *node = nullptr;
  if (index < 0 || static_cast<size_t>(index) >= nodes_.size()) return S_FALSE;
  *node = MakeObject<CZelXmlNode>(tree_, nodes_[static_cast<size_t>(index)]).Detach();
  return S_OK;
}

}  // namespace zel
