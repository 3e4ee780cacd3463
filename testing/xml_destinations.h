// Destinations for the XML writers' tests: a response object, an HTML document and a stream that
// record every write in order, and can be told to fail from a given write on.
//
// Thread contract: one test thread; the objects are not locked.
#pragma once

#include <string>
#include <vector>

#include "platform/xml_destination.h"

namespace zel {

// A script page's response object: each Write's string, in order.
class RecordingResponse final : public IResponse {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IResponse, IDispatch>(this, iid, ppv);
  }
  HRESULT GetIDOfName(std::string_view, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID, uint16_t, std::span<const Variant>, Variant*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
  HRESULT Write(const Variant& text) override;

  std::vector<std::string> writes;  // UTF-8
  std::string All() const;
  int fail_from = -1;  // writes from this index on fail with E_FAIL (and are still recorded)
};

// An HTML document object: each write's strings, in order.
class RecordingHtmlDocument final : public IHTMLDocument2 {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IHTMLDocument2, IDispatch>(this, iid, ppv);
  }
  HRESULT GetIDOfName(std::string_view, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID, uint16_t, std::span<const Variant>, Variant*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
  HRESULT write(const Variant& texts) override;

  std::vector<std::string> writes;  // each call's array elements joined
  std::string All() const;
};

// A stream: each Write's bytes, in order.
class RecordingStream final : public IStream {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IStream>(this, iid, ppv);
  }
  HRESULT Read(void*, uint32_t, uint32_t* read) override;
  HRESULT Write(const void* buffer, uint32_t size, uint32_t* written) override;
  HRESULT Seek(int64_t, SeekOrigin, uint64_t*) override { return E_NOTIMPL; }
  HRESULT SetSize(uint64_t) override { return E_NOTIMPL; }
  HRESULT GetSize(uint64_t*) override { return E_NOTIMPL; }
  HRESULT Commit() override { return S_OK; }

  std::vector<std::string> writes;  // bytes as given
  std::string All() const;
  int fail_from = -1;  // writes from this index on fail with STG_E_MEDIUMFULL
  HRESULT fail_code = STG_E_MEDIUMFULL;
};

// An object that answers none of the three interfaces.
class NoDestination final : public IDispatch {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch>(this, iid, ppv);
  }
  HRESULT GetIDOfName(std::string_view, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID, uint16_t, std::span<const Variant>, Variant*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
};

}  // namespace zel
