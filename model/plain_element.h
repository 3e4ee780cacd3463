// CZelCollectionElement: the plain element class, with only the members every element has. The
// server's empty element (Item's answer for a miss) is one, and the collections whose own element
// classes have not been built yet hold them.
//
// Thread contract: as every element (collection_element.h).
#pragma once

#include "model/collection_element.h"

namespace zel {

class CZelCollectionElement final
    : public ZelCollectionElementImpl<CZelCollectionElement, IZelCollectionElement, 0> {
 public:
  static constexpr CLSID kClsid = kClsidZelCollectionElement;
  static constexpr std::string_view kTypeName = "CZelCollectionElement";
};

// The resource string the empty element is named by.
inline constexpr uint32_t kEmptyElementNameStringId = 103;

// Makes an empty element: Index 0, ID 0, Name string 103 (null when the catalogue lacks it).
HRESULT CreateEmptyElement(IDispatch** element);

}  // namespace zel
