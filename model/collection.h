// The collection side of the object model: ZelCollectionImpl, the template every collection class
// is built from, parameterised by the class itself, its interface and its traits (object type
// code, element class, XML tag, status request, initial interval; collection_core.h). The
// algorithms live in CollectionCore; the template binds them to the automation interface and the
// member table.
//
// How to add a collection class:
//
//   struct IZelZones : IZelCollection {
//     static constexpr IID kIid = ModelInterfaceId(kClsidZelZones);
//     virtual HRESULT Restore(Variant code) = 0;  // the class's own members, if any
//   };
//   inline constexpr CollectionTraits kZonesTraits{"CZelZones", 1, kClsidZelZone, "ZONES",
//                                                  0x15, false, &NoInterval};
//   class CZelZones final : public ZelCollectionImpl<CZelZones, IZelZones, kZonesTraits> {
//    public:
//     HRESULT Restore(Variant code) override;
//     static const MemberTable& Members() {   // only with members of its own
//       static const MemberTable t = MemberTableBuilder<CZelZones>("CZelZones")
//           .Inherit(CollectionMembers()).Method(Role::kRead, "Restore", 0x60040000,
//           &CZelZones::Restore,
//                                                {"vtSecurityCode"}).Build();
//       return t;
//     }
//     // Replace hooks as needed, e.g. a poll of its own:
//     //   HRESULT UpdateElement(uint16_t number, IDispatch* element) override;
//   };
//
// then give it a slot in RegisterModelClasses (model_registration.cc).
//
// Thread contract: as CollectionCore.
#pragma once

#include <type_traits>

#include "model/collection_core.h"
#include "model/xml_writer.h"

namespace zel {

template <class T, class Interface, const CollectionTraits& kTraits>
class ZelCollectionImpl : public DispatchImpl<T, Interface>, public CollectionCore {
  static_assert(std::is_base_of_v<IZelCollection, Interface>);

 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<Interface, IZelCollection, ICollection, IDispatch>(
        static_cast<T*>(this), iid, ppv);
  }

  // ---- ICollection ----
  HRESULT get_Count(int32_t* count) override { return CountImpl(count); }
  HRESULT get__NewEnum(IUnknown** enumerator) override { return NewEnumImpl(enumerator); }
  HRESULT Item(Variant index, Variant key, Variant* item) override {
    return ItemImpl(index, key, item);
  }

  // ---- IZelCollection ----
  HRESULT put_UpdateInterval(Variant interval) override { return PutUpdateIntervalImpl(interval); }
  HRESULT get_UpdateInterval(Variant* interval) override { return GetUpdateIntervalImpl(interval); }
  HRESULT get_ThreadTermEvent(Variant* handle) override { return GetThreadTermEventImpl(handle); }
  HRESULT Init() override { return InitImpl(); }
  HRESULT TryUpdate(bool fire_events, uint32_t index) override {
    return TryUpdateImpl(fire_events, index);
  }
  HRESULT Update(bool fire_events, uint32_t index) override {
    return UpdateImpl(fire_events, index);
  }
  HRESULT StopUpdate() override { return StopUpdateImpl(); }
  HRESULT Add(Variant item, Variant key) override { return AddImpl(item, key); }
  HRESULT New(BStr name, Variant id, Variant* item) override { return NewImpl(name, id, item); }
  // The collection as XML (model/xml_writer.h).
  HRESULT SaveXML(Variant destination) override {
    return SaveCollectionXml(GetXMLTag(), Elements(), destination);
  }

  // Script callers pass the "every element" index as -1 (VT_I4) or 4294967295: both are taken
  // by their low 32 bits.
  HRESULT DispatchTryUpdate(bool fire_events, Variant index) {
    uint32_t position = 0;
    ZEL_TRY(IndexArgument(index, &position));
    return static_cast<T*>(this)->TryUpdate(fire_events, position);
  }
  HRESULT DispatchUpdate(bool fire_events, Variant index) {
    uint32_t position = 0;
    ZEL_TRY(IndexArgument(index, &position));
    return static_cast<T*>(this)->Update(fire_events, position);
  }

  static const MemberTable& CollectionMembers() {
    static const MemberTable table = [] {
      using B = ZelCollectionImpl;
      MemberTableBuilder<T> b{std::string(kTraits.type_name)};
      b.Get(Role::kRead, "Count", kDispidCount, &B::get_Count)
          .Get(Role::kRead, "_NewEnum", kDispidNewEnum, &B::get__NewEnum)
          .Method(Role::kRead, "Item", kDispidItem, &B::Item, {"vtIndex", "vtKey?"})
          .Get(Role::kRead, "Item", kDispidItem, &B::Item, {"vtIndex", "vtKey?"})
          .Put(Role::kAdmin, "UpdateInterval", kDispidUpdateInterval, &B::put_UpdateInterval,
               {"vtInterval"})
          .Get(Role::kRead, "UpdateInterval", kDispidUpdateInterval, &B::get_UpdateInterval)
          .Get(Role::kAdmin, "ThreadTermEvent", kDispidThreadTermEvent, &B::get_ThreadTermEvent)
          .Method(Role::kAdmin, "Init", kDispidInit, &B::Init)
          .Method(Role::kControl, "TryUpdate", kDispidTryUpdate, &B::DispatchTryUpdate,
                  {"bFireEvents", "uIndex"})
          .Method(Role::kControl, "Update", kDispidUpdate, &B::DispatchUpdate,
                  {"bFireEvents", "uIndex"})
          .Method(Role::kAdmin, "StopUpdate", kDispidStopUpdate, &B::StopUpdate)
          .Method(Role::kAdmin, "Add", kDispidAdd, &B::Add, {"vtItem", "vtKey?"})
          .Method(Role::kAdmin, "New", kDispidNew, &B::New, {"bstrName", "vtID"})
          .Method(Role::kAdmin, "SaveXML", kDispidCollectionSaveXML, &B::SaveXML, {"vtDest"});
      return b.Build();
    }();
    return table;
  }
  // A class with members of its own hides this with a table that inherits CollectionMembers().
  static const MemberTable& Members() { return CollectionMembers(); }

 protected:
  ZelCollectionImpl() : CollectionCore(kTraits) {}
  ~ZelCollectionImpl() override = default;
  IZelCollection* Self() override { return static_cast<Interface*>(static_cast<T*>(this)); }

 private:
  static HRESULT IndexArgument(const Variant& index, uint32_t* position) {
    Variant wide;
    ZEL_TRY(ChangeType(index, VT_I8, &wide));
    *position = static_cast<uint32_t>(wide.i8());
    return S_OK;
  }
};

}  // namespace zel
