#include "platform/xml_destination.h"

#include "platform/safe_array.h"
#include "platform/text_encoding.h"

namespace zel {

HRESULT XmlDestination::Choose(const Variant& dest, NullDispatch null_dispatch, bool response_only,
                               XmlDestination* out) {
  IUnknown* object = nullptr;
  if (dest.vt() == VT_UNKNOWN) {
    object = dest.unknown();
    if (object == nullptr) return E_INVALIDARG;
  } else if (dest.vt() == VT_DISPATCH) {
    object = dest.dispatch();
    if (object == nullptr) {
      return null_dispatch == NullDispatch::kInvalidArg ? E_INVALIDARG : E_NOTIMPL;
    }
  } else {
    return E_NOTIMPL;  // a file name, or anything that is not an object
  }
  XmlDestination d;
  if (Succeeded(QueryAs<IResponse>(object, &d.response_))) {
    d.kind_ = Kind::kResponse;
  } else if (response_only) {
    return E_NOTIMPL;
  } else if (Succeeded(QueryAs<IStream>(object, &d.stream_))) {
    d.kind_ = Kind::kStream;
  } else if (Succeeded(QueryAs<IHTMLDocument2>(object, &d.html_))) {
    d.kind_ = Kind::kHtmlDocument;
  } else {
    return E_NOTIMPL;
  }
  *out = std::move(d);
  return S_OK;
}

Variant XmlDestination::AsVariant() const {
  switch (kind_) {
    case Kind::kResponse:
      return Variant::Unknown(response_.get());
    case Kind::kStream:
      return Variant::Unknown(stream_.get());
    case Kind::kHtmlDocument:
      return Variant::Unknown(html_.get());
    case Kind::kNone:
      break;
  }
  return Variant();
}

HRESULT XmlDestination::WriteString(std::string_view utf8) const {
  if (kind_ == Kind::kResponse) return response_->Write(Variant::Str(BStr(std::string(utf8))));
  SafeArray texts(VT_VARIANT, 1);
  (void)texts.PutElement(0, Variant::Str(BStr(std::string(utf8))));
  return html_->write(Variant::Array(std::move(texts)));
}

HRESULT XmlDestination::WriteBytes(std::string_view bytes) const {
  uint32_t written = 0;
  HRESULT hr = stream_->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
  if (Failed(hr)) return hr;
  return written == bytes.size() ? S_OK : STG_E_WRITEFAULT;
}

HRESULT XmlDestination::Write(std::string_view utf8) const {
  if (kind_ == Kind::kNone) return E_UNEXPECTED;
  return kind_ == Kind::kStream ? WriteBytes(utf8) : WriteString(utf8);
}

HRESULT XmlDestination::WriteLatin1(std::string_view latin1) const {
  if (kind_ == Kind::kNone) return E_UNEXPECTED;
  return kind_ == Kind::kStream ? WriteBytes(latin1) : WriteString(Latin1ToUtf8(latin1));
}

}  // namespace zel
