// Expansions: CZelExpansions holds CZelExpansion elements, the controller's expansion modules,
// each with a type from the setup block, a status and a battery level.
//
// The collection declines both status requests, so a poll never reads an expansion (S_FALSE).
// Status and battery level change only through a status input (IPersistMemory::Load: data byte
// 0 status, byte 1 battery level) or a property-bag load of "STATUS" and "BATTERYLEVEL".
// Left to the implementer: nothing in the server feeds expansion status into the elements yet,
// so they report status and battery level 0 until a client loads them.
//
//   Type           SystemParametersInfo parameter 9, the expansion's number less one in the high
//                  word
//   Status         VT_I4 status byte
//   BatteryLevel   VT_I4 battery byte
// Expansions have no names of their own (object type 0): Name put is not supported.
//
// Thread contract: as every element and collection (collection_element.h, collection_core.h);
// the status fields are guarded by fields_mu().
#pragma once

#include <cstdint>

#include "model/collection.h"
#include "model/collection_element.h"
#include "model/standard_collections.h"
#include "server/system_parameters.h"

namespace zel {

inline constexpr DISPID kDispidExpansionType = 0x60030000;
inline constexpr DISPID kDispidExpansionStatus = 0x60030001;
inline constexpr DISPID kDispidExpansionBatteryLevel = 0x60030002;

struct IZelExpansion : IZelCollectionElement {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelExpansion);
  virtual HRESULT get_Type(Variant* type) = 0;
  virtual HRESULT get_Status(int32_t* status) = 0;
  virtual HRESULT get_BatteryLevel(int32_t* level) = 0;
};

struct IZelExpansions : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelExpansions);
};

class CZelExpansion final
    : public ZelCollectionElementImpl<CZelExpansion, IZelExpansion, /*name type*/ 0> {
 public:
  static constexpr CLSID kClsid = kClsidZelExpansion;
  static constexpr std::string_view kTypeName = "CZelExpansion";

  HRESULT get_Type(Variant* type) override;
  HRESULT get_Status(int32_t* status) override;
  HRESULT get_BatteryLevel(int32_t* level) override;

  // Two data bytes: status, battery level. Fewer: E_FAIL, both unchanged.
  HRESULT LoadStatus(const uint8_t* data, uint32_t size) override;

  static const MemberTable& Members();
  static const PropertyMap& Properties();

 private:
  uint16_t status_ = 0;         // guarded by fields_mu()
  uint16_t battery_level_ = 0;  // guarded by fields_mu()
};

inline constexpr CollectionTraits kExpansionsTraits{
    "CZelExpansions",     0,     kClsidZelExpansion, "EXPANSIONS",
    /*status_message=*/0, false, &NoInterval};

class CZelExpansions final
    : public ZelCollectionImpl<CZelExpansions, IZelExpansions, kExpansionsTraits> {
 public:
  static constexpr CLSID kClsid = kClsidZelExpansions;
};

}  // namespace zel
