// A read-only XML document object over libxml2: what the utilities' ServerLog hands a client.
// The document gives its text (xml) and its root (documentElement); a node its name, its text
// content, its own markup, its attributes by name and its element children.
//
//   CZelXmlDocument  xml, documentElement
//   CZelXmlNode      nodeName, text, xml, getAttribute(name), childNodes
//   CZelXmlNodeList  length, item(0-based index)
//
// Thread contract: immutable once parsed; every member from any thread. Nodes and lists hold
// the parsed tree (shared) so they outlive the document object that made them.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "platform/dispatch.h"

struct _xmlDoc;
struct _xmlNode;

namespace zel {

using XmlTree = std::shared_ptr<_xmlDoc>;

class CZelXmlDocument final : public DispatchImpl<CZelXmlDocument, IDispatch> {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch>(this, iid, ppv);
  }
  static const MemberTable& Members();

  // Parses `text` (no network, no entities from outside). Not well-formed: E_INVALIDARG.
  static HRESULT Parse(std::string_view text, ComPtr<CZelXmlDocument>* out);

  HRESULT get_xml(BStr* text);
  HRESULT get_documentElement(IDispatch** node);

 private:
  XmlTree tree_;
};

class CZelXmlNode final : public DispatchImpl<CZelXmlNode, IDispatch> {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch>(this, iid, ppv);
  }
  static const MemberTable& Members();
  CZelXmlNode(XmlTree tree, _xmlNode* node) : tree_(std::move(tree)), node_(node) {}

  HRESULT get_nodeName(BStr* name);
  HRESULT get_text(BStr* text);
  HRESULT get_xml(BStr* text);
  // An attribute that is not there: S_FALSE and an empty variant (VT_NULL).
  HRESULT getAttribute(BStr name, Variant* value);
  HRESULT get_childNodes(IDispatch** list);

 private:
  XmlTree tree_;
  _xmlNode* node_;
};

class CZelXmlNodeList final : public DispatchImpl<CZelXmlNodeList, IDispatch> {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch>(this, iid, ppv);
  }
  static const MemberTable& Members();
  CZelXmlNodeList(XmlTree tree, _xmlNode* parent);

  HRESULT get_length(int32_t* length);
  // Out of range: S_FALSE and a null node.
  HRESULT item(int32_t index, IDispatch** node);

 private:
  XmlTree tree_;
  std::vector<_xmlNode*> nodes_;
};

}  // namespace zel
