// Areas: CZelAreas holds one CZelArea per security partition of the controller.
//
// Poll: an area's only polled state is its security mode, read from the system status reply.
// CZelAreas replaces the generic one-element poll: for each area it sends the system status
// request 5A 01 13 40 5D, refuses a negative acknowledge and a reply whose first three bytes
// are not the header expected for the connected model (E_FAIL, modes unchanged), and hands the
// reply data to the area, which takes data byte (Index + 13): area 1's mode is data byte 14,
// counted from 0 after the message type. The mode byte goes by position (Index), not by ID.
//
//   model index   expected header
//   0, 4, 7       5A 11 14
//   1, 2          5A 1F 14
//   3, 9          5A 10 14
//   5             5A 27 14
//   10            5A 20 14
//   6, 8, others  none: every area poll fails with E_FAIL
//
// Commands (command, first parameter, second parameter). The security code is resolved to a
// user number first (models 9 and 10: user 1, no check); a rejected code sends nothing.
//   IZelArea::Arm(code, mode)   0x30 + mode, user, area ID (1 on models 9 and 10)
//   IZelArea::Disarm(code)      0x30,        user, area ID
//   IZelArea::Restore(code)     6,           user, area ID
//   IZelArea::AllOff()          2,           0,    area ID
//   IZelArea::AllOn()           3,           0,    area ID
//   IZelAreas::...              the same with area 0 (every area)
// Mode: omitted means 3, otherwise 1 to 6 (E_INVALIDARG, nothing sent). After an element
// command the area refreshes itself; after a collection command every area is polled, except
// after the collection's AllOff and AllOn, which refresh nothing.
//
// Zones of an area: a CZelZones of the area's own, built on the first read of Zones from the
// server's zones whose Area is this area, then kept for the element's life.
//
// Thread contract: as every element and collection (collection_element.h, collection_core.h).
// security_mode_ is guarded by fields_mu(); zones_mu_ guards zones_ and is held while the list
// is built (which calls the server's collections, never this area's fields lock).
#pragma once

#include <cstdint>

#include "model/collection.h"
#include "model/collection_element.h"
#include "model/standard_collections.h"
#include "platform/sync.h"

namespace zel {

inline constexpr DISPID kDispidAreaSecurityMode = 0x520;
inline constexpr DISPID kDispidAreaZones = 0x521;
inline constexpr DISPID kDispidAreaArm = 0x60030002;
inline constexpr DISPID kDispidAreaDisarm = 0x60030003;
inline constexpr DISPID kDispidAreaRestore = 0x60030004;
inline constexpr DISPID kDispidAreaAllOff = 0x60030005;
inline constexpr DISPID kDispidAreaAllOn = 0x60030006;
inline constexpr DISPID kDispidAreasArm = 0x60040000;
inline constexpr DISPID kDispidAreasDisarm = 0x60040001;
inline constexpr DISPID kDispidAreasRestore = 0x60040002;
inline constexpr DISPID kDispidAreasAllOff = 0x60040003;
inline constexpr DISPID kDispidAreasAllOn = 0x60040004;

inline constexpr uint8_t kCommandAllOff = 2;
inline constexpr uint8_t kCommandAllOn = 3;
inline constexpr uint8_t kCommandRestoreArea = 6;
// Disarm; arming adds the mode (1 to 6).
inline constexpr uint8_t kCommandSecurityBase = 0x30;
inline constexpr int32_t kDefaultArmMode = 3;
inline constexpr int32_t kMaxArmMode = 6;
// Data byte of area 1's mode is 1 + this offset.
inline constexpr uint32_t kAreaModeDataOffset = 13;

struct IZelArea : IZelCollectionElement {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelArea);
  virtual HRESULT get_SecurityMode(int32_t* mode) = 0;
  virtual HRESULT get_Zones(IDispatch** zones) = 0;
  virtual HRESULT Arm(Variant security_code, Variant security_mode) = 0;
  virtual HRESULT Disarm(Variant security_code) = 0;
  virtual HRESULT Restore(Variant security_code) = 0;
  virtual HRESULT AllOff() = 0;
  virtual HRESULT AllOn() = 0;
};

struct IZelAreas : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelAreas);
  virtual HRESULT Arm(Variant security_code, Variant security_mode) = 0;
  virtual HRESULT Disarm(Variant security_code) = 0;
  virtual HRESULT Restore(Variant security_code) = 0;
  virtual HRESULT AllOff() = 0;
  virtual HRESULT AllOn() = 0;
};

// The first three bytes a system status reply must start with on a model; false for models
// without one.
bool ExpectedSystemStatusHeader(int model_index, uint8_t header[3]);

class CZelArea final : public ZelCollectionElementImpl<CZelArea, IZelArea, /*name type*/ 5> {
 public:
  static constexpr CLSID kClsid = kClsidZelArea;
  static constexpr std::string_view kTypeName = "CZelArea";

  HRESULT get_SecurityMode(int32_t* mode) override;
  HRESULT get_Zones(IDispatch** zones) override;
  HRESULT Arm(Variant security_code, Variant security_mode) override;
  HRESULT Disarm(Variant security_code) override;
  HRESULT Restore(Variant security_code) override;
  HRESULT AllOff() override;
  HRESULT AllOn() override;

  // Stores data byte (Index + 13) as the mode; a reply too short for it: E_FAIL, unchanged.
  HRESULT LoadStatus(const uint8_t* data, uint32_t size) override;

  static const MemberTable& Members();
  static const PropertyMap& Properties();

 private:
  // Sends a command for this area and, once acknowledged, refreshes it.
  HRESULT AreaCommand(uint8_t command, uint8_t parameter1, uint16_t parameter2);

  uint16_t security_mode_ = 0;  // guarded by fields_mu()

  Mutex zones_mu_;
  ComPtr<IDispatch> zones_ ZEL_GUARDED_BY(zones_mu_);
};

inline constexpr CollectionTraits kAreasTraits{
    "CZelAreas", 5, kClsidZelArea, "AREAS", /*status_message=*/0, false, &NotPolledInterval};

class CZelAreas final : public ZelCollectionImpl<CZelAreas, IZelAreas, kAreasTraits> {
 public:
  static constexpr CLSID kClsid = kClsidZelAreas;

  HRESULT Arm(Variant security_code, Variant security_mode) override;
  HRESULT Disarm(Variant security_code) override;
  HRESULT Restore(Variant security_code) override;
  HRESULT AllOff() override;
  HRESULT AllOn() override;

  // The area poll from the system status reply (see the top of the file).
  HRESULT UpdateElement(uint16_t number, IDispatch* element) override;

  static const MemberTable& Members();
};

}  // namespace zel
