// The automation interfaces of event objects, shared by the event log, the system events and the
// server's event delivery (which routes an event by the interface it answers and its Type):
//
//   IZelEventCollectionElement   Index, Name, SaveXML, SaveXMLSnippet of every event object
//   IZelEvent                    an entry of the controller's event log: Type, Time, Data
//   IZelSystemEvent              a live system event: Type, Time, Code
//
// Each event class implements one chain: IZelEvent (or a class interface derived from it) or
// IZelSystemEvent (or a class interface derived from it), then IZelEventCollectionElement, then
// IDispatch, and answers QueryInterface for every interface of its chain.
//
// Ids: interface numbers 0x5F for the shared element interface, 0x60 to 0x6F for the event log,
// 0x70 to 0x7F for the system events; class numbers likewise.
//
// Thread contract: declarations only; each class states its own locking.
#pragma once

#include "link/comm_handler.h"
#include "platform/dispatch.h"

namespace zel {

// IZelEventCollectionElement.
inline constexpr DISPID kDispidEventIndex = 0x60020000;
inline constexpr DISPID kDispidEventName = DISPID_VALUE;
inline constexpr DISPID kDispidEventSaveXML = 0x60020008;
inline constexpr DISPID kDispidEventSaveXMLSnippet = 0x60020009;

// IZelEvent.
inline constexpr DISPID kDispidLogEventType = 0x540;
inline constexpr DISPID kDispidLogEventTime = 0x541;
inline constexpr DISPID kDispidLogEventData = 0x542;

// IZelSystemEvent: Type, Time and Code take the first three ids of the range reserved for it
// (0x60030000 to 0x60030003); a get/put pair shares one id.
inline constexpr DISPID kDispidSystemEventType = 0x60030000;
inline constexpr DISPID kDispidSystemEventTime = 0x60030001;
inline constexpr DISPID kDispidSystemEventCode = 0x60030002;

struct IZelEventCollectionElement : IDispatch {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x5F);
  virtual HRESULT get_Index(Variant* index) = 0;
  virtual HRESULT put_Index(Variant index) = 0;
  virtual HRESULT get_Name(BStr* name) = 0;
  virtual HRESULT put_Name(BStr name) = 0;
  virtual HRESULT SaveXML(Variant destination) = 0;
  virtual HRESULT SaveXMLSnippet(Variant destination) = 0;
};

// An entry of the controller's event log.
struct IZelEvent : IZelEventCollectionElement {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x60);
  // The event type code as a VT_I4 variant.
  virtual HRESULT get_Type(Variant* type) = 0;
  virtual HRESULT put_Type(Variant type) = 0;
  virtual HRESULT get_Time(Variant* time) = 0;
  virtual HRESULT put_Time(Variant time) = 0;
  virtual HRESULT get_Data(Variant* data) = 0;
  virtual HRESULT put_Data(Variant data) = 0;
};

// A live system event.
struct IZelSystemEvent : IZelEventCollectionElement {
  static constexpr IID kIid = ZelClassId(kIdInterface, 0x70);
  // The event kind (computed from the code) as a VT_I4 variant.
  virtual HRESULT get_Type(Variant* type) = 0;
  virtual HRESULT get_Time(Variant* time) = 0;
  virtual HRESULT put_Time(Variant time) = 0;
  virtual HRESULT get_Code(Variant* code) = 0;
  virtual HRESULT put_Code(Variant code) = 0;
};

// The IZelEventCollectionElement rows of an event class's member table, the same for the log's
// entries and the live system events. B is the class that implements the element's members.
// Reading an event is for every client; changing one (others see the same object) is not.
template <class B, class Builder>
Builder& AddEventElementMembers(Builder& b) {
  return b.Get(Role::kRead, "Index", kDispidEventIndex, &B::get_Index)
      .Put(Role::kAdmin, "Index", kDispidEventIndex, &B::put_Index, {"vtIndex"})
      .Get(Role::kRead, "Name", kDispidEventName, &B::get_Name)
      .Put(Role::kAdmin, "Name", kDispidEventName, &B::put_Name, {"bstrName"})
      .Method(Role::kAdmin, "SaveXML", kDispidEventSaveXML, &B::SaveXML, {"vtDest"})
      .Method(Role::kAdmin, "SaveXMLSnippet", kDispidEventSaveXMLSnippet, &B::SaveXMLSnippet,
              {"vtDest"});
}

}  // namespace zel
