// User codes: CZelCodes holds one CZelCode per user code of the controller (its names, plus the
// built-in codes 250 to 255). A code element tells its authority level and access window from the
// controller's setup block; the code digits themselves are never a member of the element.
//
//   AuthorityLevel   SystemParametersInfo parameter 4, the code's number less one in the high word
//   AccessStart      parameter 6 (a date: hour, minute, month and day of today's date)
//   AccessEnd        parameter 7
// A code numbered 0 or above the model's code count (capability record byte 6), as the built-in
// codes are, reads no parameter: AuthorityLevel is VT_I4 0, AccessStart and AccessEnd the date 0.0.
//
// Thread contract: as every element and collection (collection_element.h, collection_core.h).
// Codes keep no fields of their own.
#pragma once

#include "model/collection.h"
#include "model/collection_element.h"
#include "model/standard_collections.h"

namespace zel {

inline constexpr DISPID kDispidCodeAuthorityLevel = 0x531;
inline constexpr DISPID kDispidCodeAccessStart = 0x532;
inline constexpr DISPID kDispidCodeAccessEnd = 0x533;

inline constexpr uint32_t kParamCodeAuthority = 4;
inline constexpr uint32_t kParamCodeAccessStart = 6;
inline constexpr uint32_t kParamCodeAccessEnd = 7;

struct IZelCode : IZelCollectionElement {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelCode);
  virtual HRESULT get_AuthorityLevel(Variant* level) = 0;
  virtual HRESULT get_AccessStart(Variant* start) = 0;
  virtual HRESULT get_AccessEnd(Variant* end) = 0;
};

struct IZelCodes : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelCodes);
};

class CZelCode final : public ZelCollectionElementImpl<CZelCode, IZelCode, /*name type*/ 4> {
 public:
  static constexpr CLSID kClsid = kClsidZelCode;
  static constexpr std::string_view kTypeName = "CZelCode";

  HRESULT get_AuthorityLevel(Variant* level) override;
  HRESULT get_AccessStart(Variant* start) override;
  HRESULT get_AccessEnd(Variant* end) override;

  static const MemberTable& Members();

 private:
  // Reads a code-record parameter of this code, or `outside` for a code the setup has no record
  // of.
  HRESULT CodeParameter(uint32_t parameter, const Variant& outside, Variant* value);
};

inline constexpr CollectionTraits kCodesTraits{"CZelCodes",          4,     kClsidZelCode, "CODES",
                                               /*status_message=*/0, false, &NoInterval};

class CZelCodes final : public ZelCollectionImpl<CZelCodes, IZelCodes, kCodesTraits> {
 public:
  static constexpr CLSID kClsid = kClsidZelCodes;
};

}  // namespace zel
