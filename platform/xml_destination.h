// Where the XML writers send their text: an object the client hands over, which answers one of
// three interfaces, asked in this order:
//   IResponse       a script page's response object: text goes out with Write, one string each
//   IStream         bytes go out with Write, as single-byte text
//   IHTMLDocument2  text goes out with write, each call an array holding one string variant
// XmlDestination::Choose applies the rules of the destination argument (an object is needed; a
// file name or any other kind is E_NOTIMPL; a null object E_INVALIDARG) and then writes pieces
// of text to whichever interface was found.
//
// Thread contract: the interfaces are declarations. An XmlDestination is used by one thread (the
// caller of the writer); the object behind it does its own locking.
#pragma once

#include <string_view>

#include "platform/dispatch.h"
#include "platform/stream.h"
#include "platform/variant.h"

namespace zel {

// Ids of our own: the interfaces are what a page host or a client offers, not classes of ours.
inline constexpr IID kIidIResponse = MakeGuid(0x5E1C0A70, 0x3B2D, 0x4A6F, 0x8C1A0000000200E0);
inline constexpr IID kIidIHTMLDocument2 = MakeGuid(0x5E1C0A70, 0x3B2D, 0x4A6F, 0x8C1A0000000200E1);

struct IResponse : IDispatch {
  static constexpr IID kIid = kIidIResponse;
  // `text` is a string variant.
  virtual HRESULT Write(const Variant& text) = 0;
};

struct IHTMLDocument2 : IDispatch {
  static constexpr IID kIid = kIidIHTMLDocument2;
  // `texts` is an array of variants (VT_ARRAY | VT_VARIANT) holding string variants.
  virtual HRESULT write(const Variant& texts) = 0;
};

class XmlDestination {
 public:
  enum class Kind { kNone, kResponse, kStream, kHtmlDocument };
  // What a null VT_DISPATCH gets: the status XML calls any null object E_INVALIDARG; the
  // snapshot writers ask a dispatch object for IUnknown first, and a null one has none
  // (E_NOTIMPL). A null VT_UNKNOWN is E_INVALIDARG for both.
  enum class NullDispatch { kInvalidArg, kNotImpl };

  // Picks the destination interface of `dest`. `response_only`: the other two are E_NOTIMPL.
  static HRESULT Choose(const Variant& dest, NullDispatch null_dispatch, bool response_only,
                        XmlDestination* out);

  Kind kind() const { return kind_; }
  // A VT_UNKNOWN variant holding the chosen interface (a collection hands it to its elements).
  Variant AsVariant() const;

  // Writes UTF-8 text: a string in the response and HTML modes, its bytes in the stream mode.
  // The response and HTML modes report what the object answered; callers decide whether it
  // counts. The stream mode fails with the stream's code, or STG_E_WRITEFAULT when it took
  // fewer bytes than given.
  HRESULT Write(std::string_view utf8) const;
  // Writes single-byte (ISO-8859-1) text: its bytes in the stream mode, converted to a string
  // in the response and HTML modes.
  HRESULT WriteLatin1(std::string_view latin1) const;

 private:
  HRESULT WriteString(std::string_view utf8) const;
  HRESULT WriteBytes(std::string_view bytes) const;

  Kind kind_ = Kind::kNone;
  ComPtr<IResponse> response_;
  ComPtr<IStream> stream_;
  ComPtr<IHTMLDocument2> html_;
};

}  // namespace zel
