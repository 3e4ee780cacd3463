// The automation interfaces every collection and every element of the object model shares:
// ICollection (Count, _NewEnum, Item), IZelCollection (polling, adding and naming elements) and
// IZelCollectionElement (Index, ID, Name, FriendlyName, Display, XML), with their dispids.
//
// Thread contract: declarations only; the templates in collection.h and collection_element.h
// state the locking of their implementations.
#pragma once

#include <cstdint>

#include "model/model_classes.h"
#include "platform/dispatch.h"

namespace zel {

// ---- Dispids ------------------------------------------------------------------------------

// ICollection.
inline constexpr DISPID kDispidCount = 0x60020000;
inline constexpr DISPID kDispidNewEnum = DISPID_NEWENUM;
inline constexpr DISPID kDispidItem = DISPID_VALUE;

// IZelCollection, in member order: one id per accessor or method, a put/get pair sharing the id
// of its first accessor (UpdateInterval takes 0x60030000 and 0x60030001).
inline constexpr DISPID kDispidUpdateInterval = 0x60030000;
inline constexpr DISPID kDispidThreadTermEvent = 0x60030002;
inline constexpr DISPID kDispidInit = 0x60030003;
inline constexpr DISPID kDispidTryUpdate = 0x60030004;
inline constexpr DISPID kDispidUpdate = 0x60030005;
inline constexpr DISPID kDispidStopUpdate = 0x60030006;
inline constexpr DISPID kDispidAdd = 0x60030007;
inline constexpr DISPID kDispidNew = 0x60030008;
inline constexpr DISPID kDispidCollectionSaveXML = 0x60030009;

// IZelCollectionElement.
inline constexpr DISPID kDispidIndex = 0x60020000;
inline constexpr DISPID kDispidName = DISPID_VALUE;
inline constexpr DISPID kDispidFriendlyName = 0x100;
inline constexpr DISPID kDispidDisplay = 0x101;
inline constexpr DISPID kDispidID = 0x60020007;
inline constexpr DISPID kDispidElementSaveXML = 0x60020008;
inline constexpr DISPID kDispidSaveXMLSnippet = 0x60020009;

// Update and TryUpdate: every element rather than one position.
inline constexpr uint32_t kAllElements = 0xFFFFFFFF;

// ---- Interfaces ---------------------------------------------------------------------------

struct ICollection : IDispatch {
  static constexpr IID kIid = kIidICollection;
  virtual HRESULT get_Count(int32_t* count) = 0;
  // Not supported: scripts iterate by position with Item.
  virtual HRESULT get__NewEnum(IUnknown** enumerator) = 0;
  // By 1-based position, by name (vtIndex a string, ASCII case ignored) or by ID (vtKey given).
  virtual HRESULT Item(Variant index, Variant key, Variant* item) = 0;
};

struct IZelCollection : ICollection {
  static constexpr IID kIid = kIidIZelCollection;
  virtual HRESULT put_UpdateInterval(Variant interval) = 0;
  virtual HRESULT get_UpdateInterval(Variant* interval) = 0;
  // The update thread's terminate event as an opaque handle number; 0 when no thread runs.
  virtual HRESULT get_ThreadTermEvent(Variant* handle) = 0;
  virtual HRESULT Init() = 0;
  virtual HRESULT TryUpdate(bool fire_events, uint32_t index) = 0;
  virtual HRESULT Update(bool fire_events, uint32_t index) = 0;
  virtual HRESULT StopUpdate() = 0;
  virtual HRESULT Add(Variant item, Variant key) = 0;
  virtual HRESULT New(BStr name, Variant id, Variant* item) = 0;
  virtual HRESULT SaveXML(Variant destination) = 0;
};

struct IZelCollectionElement : IDispatch {
  static constexpr IID kIid = kIidIZelCollectionElement;
  // VT_I4 variants.
  virtual HRESULT get_Index(Variant* index) = 0;
  virtual HRESULT get_ID(Variant* id) = 0;
  virtual HRESULT get_Name(BStr* name) = 0;
  // Uploads the name to the controller (message type 0x0B).
  virtual HRESULT put_Name(BStr name) = 0;
  // The friendly name, or Name when none is set.
  virtual HRESULT get_FriendlyName(BStr* name) = 0;
  virtual HRESULT put_FriendlyName(BStr name) = 0;
  virtual HRESULT get_Display(VariantBool* display) = 0;
  virtual HRESULT put_Display(VariantBool display) = 0;
  virtual HRESULT SaveXML(Variant destination) = 0;
  virtual HRESULT SaveXMLSnippet(Variant destination) = 0;
};

}  // namespace zel
