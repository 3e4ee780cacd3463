// Variants in JSON: each value travels with its type tag.
//
//   {"vt": 3, "value": 5}                      4-byte integer (every integer type alike)
//   {"vt": 5, "value": 1.5}                    reals; "NaN", "Infinity", "-Infinity" as text
//   {"vt": 7, "value": 45123.5}                automation date (days since 1899-12-30)
//   {"vt": 8, "value": "text"} / null          string; null is the null string
//   {"vt": 9, "object": "h12", "class": "CZelZone"}   object; "object": null for nothing
//   {"vt": 10, "value": "80020004"}            error code (this one: an omitted argument)
//   {"vt": 11, "value": true}                  boolean
//   {"vt": 8204, "value": [ {...}, ... ]}      array of variants (VT_ARRAY | VT_VARIANT)
//   {"vt": 8209, "value": [1, 2, 3]}           array of bytes; typed arrays hold plain values
//   {"vt": 0} / {"vt": 1}                      empty / null
//
// As argument shorthand, plain JSON is accepted: an integer becomes VT_I4 (VT_I8 or VT_R8 when it
// does not fit), a real VT_R8, a string VT_BSTR, a boolean VT_BOOL, null VT_NULL, an array a
// VT_ARRAY | VT_VARIANT of its elements.
//
// Objects are named by handles; an ObjectResolver (the session's handle table) turns objects into
// handles and back.
//
// Thread contract: stateless; the resolver decides its own locking.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "platform/dispatch.h"
#include "platform/variant.h"

namespace zel::bridge {

using Json = nlohmann::json;

class ObjectResolver {
 public:
  virtual ~ObjectResolver() = default;
  // The handle naming object (never null). E_BRIDGE_HANDLE_LIMIT when no handle can be given.
  virtual HRESULT HandleFor(IDispatch* object, std::string* handle) = 0;
  // The object a handle names; E_HANDLE when there is none.
  virtual HRESULT ObjectFor(const std::string& handle, ComPtr<IDispatch>* object) = 0;
};

// Nesting deeper than this (arrays within arrays) is refused with DISP_E_BADVARTYPE.
inline constexpr int kMaxVariantDepth = 8;

// The JSON form of v. Objects the resolver cannot name travel as {"vt": 9, "object": null,
// "class": ..., "status": "<code>"}; objects without a dispatch interface as "object": null.
Json EncodeVariant(const Variant& v, ObjectResolver* resolver);

// Reads a tagged value or shorthand. Errors: DISP_E_BADVARTYPE (unknown or unsupported tag, too
// deep), DISP_E_TYPEMISMATCH (a value that does not match its tag), DISP_E_OVERFLOW (a number
// out of range for its tag), E_HANDLE (unknown handle), E_BRIDGE_BAD_REQUEST (neither form).
HRESULT DecodeVariant(const Json& j, ObjectResolver* resolver, Variant* out);

// Name of a type tag for people: "VT_I4", "VT_ARRAY|VT_VARIANT".
std::string VarTypeName(VARTYPE vt);

}  // namespace zel::bridge
