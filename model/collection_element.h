// The element side of the object model: ZelCollectionElementImpl, the template every element
// class (zone, unit, area, thermostat, ...) is built from. It supplies what all elements share:
// Index, ID, Name, FriendlyName and Display, the name upload, IPersistPropertyBag and
// IPersistStreamInit driven by the class's property map (property_map.h), IPersistMemory,
// through which a collection's poll hands the element the data of a status reply, and
// IFreshness, the age of the last status so taken.
//
// How to add an element class (see plain_element.h for the smallest one):
//
//   class CZelZone final : public ZelCollectionElementImpl<CZelZone, IZelZone, /*name type*/ 1> {
//    public:
//     static constexpr CLSID kClsid = kClsidZelZone;            // model_classes.h
//     static constexpr std::string_view kTypeName = "CZelZone";
//     // The automation members: the common ones plus the class's own.
//     static const MemberTable& Members() {
//       static const MemberTable t = MemberTableBuilder<CZelZone>("CZelZone")
//           .Inherit(ElementMembers())
//           .Get(Role::kRead, "Type", 0x5B1, &CZelZone::get_Type) ... .Build();
//       return t;
//     }
//     // The property map: the five common entries first, then the class's own, in order.
//     static const PropertyMap& Properties() {
//       static const PropertyMap m = [] {
//         PropertyMapBuilder<CZelZone> b;
//         AddCommonProperties(b);
//         b.Property("TYPE", 0x5B1).Member<&CZelZone::status_>("STATUS", VT_UI2);
//         return b.Build();
//       }();
//       return m;
//     }
//     // The data of a status reply (bytes after the message type; size = the length byte).
//     HRESULT LoadStatus(const uint8_t* data, uint32_t size) override;
//     // Interfaces between IZelZone and IZelCollectionElement, if any, go in QueryInterface:
//     //   HRESULT QueryInterface(const IID& iid, void** ppv) override;  (then QueryElement...)
//    private:
//     uint16_t status_ = 0;  // guarded by fields_mu()
//   };
//
// and register it by class id in RegisterModelClasses (model_registration.cc). The name type is
// the object type code the name upload carries; 0 means the class takes no names from clients
// (Name put gives CO_E_NOT_SUPPORTED and sends nothing).
//
// Thread contract: free-threaded. fields_mu() guards every field of the element (the common
// ones here and the status fields of the class); getters and LoadStatus take it briefly, and it
// is never held while calling out (the controller, another object, a property getter).
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "model/collection_interfaces.h"
#include "model/property_map.h"
#include "model/xml_writer.h"
#include "platform/clock.h"
#include "platform/freshness.h"
#include "platform/persist.h"
#include "platform/sync.h"

namespace zel {

// The fields and members every element has, independent of its class.
class ElementCore {
 public:
  HRESULT GetIndex(Variant* index) const;
  HRESULT GetID(Variant* id) const;
  HRESULT GetName(BStr* name) const;
  HRESULT GetFriendlyName(BStr* name) const;
  HRESULT PutFriendlyName(BStr name);
  HRESULT GetDisplay(VariantBool* display) const;
  HRESULT PutDisplay(VariantBool display);
  // Name put: sends `name` for this element's ID with the class's name type (0: not supported).
  HRESULT UploadName(uint32_t name_type, BStr name);

  uint16_t id() const;
  uint32_t index() const;

  // The element's status was just refreshed from the controller.
  void MarkRefreshed();
  // Seconds since then; S_FALSE when never.
  HRESULT Age(double* seconds) const;

 protected:
  ElementCore() = default;
  ~ElementCore() = default;
  Mutex& fields_mu() const { return fields_mu_; }

  // The common fields, in map order. Guarded by fields_mu_.
  uint32_t index_ = 0;
  uint16_t id_ = 0;
  BStr name_;
  BStr friendly_name_;  // null: none set
  // Left to the implementer: new elements are shown (Display true) until a client hides them.
  int16_t display_ = VARIANT_TRUE;

 private:
  mutable Mutex fields_mu_;
  // Steady-clock nanoseconds of the last status refresh; kNever before the first.
  static constexpr int64_t kNever = INT64_MIN;
  std::atomic<int64_t> refreshed_ns_{kNever};
};

template <class T, class Interface, uint32_t kNameType>
class ZelCollectionElementImpl : public DispatchImpl<T, Interface>,
                                 public IPersistPropertyBag,
                                 public IPersistStreamInit,
                                 public ElementCore {
  static_assert(std::is_base_of_v<IZelCollectionElement, Interface>);

 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryElementInterface(iid, ppv);
  }

  // ---- IZelCollectionElement ----
  HRESULT get_Index(Variant* index) override { return GetIndex(index); }
  HRESULT get_ID(Variant* id) override { return GetID(id); }
  HRESULT get_Name(BStr* name) override { return GetName(name); }
  HRESULT put_Name(BStr name) override { return UploadName(kNameType, std::move(name)); }
  HRESULT get_FriendlyName(BStr* name) override { return GetFriendlyName(name); }
  HRESULT put_FriendlyName(BStr name) override { return PutFriendlyName(std::move(name)); }
  HRESULT get_Display(VariantBool* display) override { return GetDisplay(display); }
  HRESULT put_Display(VariantBool display) override { return PutDisplay(display); }
  // The element as XML, with and without the declaration (model/xml_writer.h).
  HRESULT SaveXML(Variant destination) override {
    return SaveElementXml(static_cast<T*>(this), destination, true);
  }
  HRESULT SaveXMLSnippet(Variant destination) override {
    return SaveElementXml(static_cast<T*>(this), destination, false);
  }

  // ---- IPersistPropertyBag and IPersistStreamInit ----
  HRESULT GetClassID(CLSID* clsid) override {
    if (clsid == nullptr) return E_POINTER;
    *clsid = T::kClsid;
    return S_OK;
  }
  HRESULT InitNew() override { return S_OK; }
  HRESULT Load(IPropertyBag* bag) override {
    return LoadFromPropertyBag(T::Properties(), Target(), bag);
  }
  HRESULT Save(IPropertyBag* bag, bool /*clear_dirty*/, bool /*save_all*/) override {
    return SaveToPropertyBag(T::Properties(), Target(), bag);
  }
  // Elements do not track changes: they always report unsaved changes.
  HRESULT IsDirty() override { return S_OK; }
  HRESULT Load(IStream* stream) override {
    return LoadFromStream(T::Properties(), Target(), stream);
  }
  HRESULT Save(IStream* stream, bool /*clear_dirty*/) override {
    return SaveToStream(T::Properties(), Target(), stream);
  }
  HRESULT GetSizeMax(uint64_t* size) override {
    if (size == nullptr) return E_POINTER;
    *size = StreamSizeMax(T::Properties(), Target());
    return S_OK;
  }

  // ---- Status input (IPersistMemory::Load) ----
  // `data` points at the reply's first data byte (after the message type); `size` is the reply's
  // length byte, one more than the number of data bytes. The plain element keeps no status.
  virtual HRESULT LoadStatus(const uint8_t* /*data*/, uint32_t /*size*/) { return S_OK; }

  // ---- Tables ----
  static const MemberTable& ElementMembers() {
    static const MemberTable table = [] {
      using B = ZelCollectionElementImpl;
      MemberTableBuilder<T> b{std::string(T::kTypeName)};
      b.Get(Role::kRead, "Index", kDispidIndex, &B::get_Index)
          .Get(Role::kRead, "Name", kDispidName, &B::get_Name)
          .Put(Role::kAdmin, "Name", kDispidName, &B::put_Name, {"bstrName"})
          .Get(Role::kRead, "FriendlyName", kDispidFriendlyName, &B::get_FriendlyName)
          .Put(Role::kAdmin, "FriendlyName", kDispidFriendlyName, &B::put_FriendlyName,
               {"bstrName"})
          .Get(Role::kRead, "Display", kDispidDisplay, &B::get_Display)
          .Put(Role::kAdmin, "Display", kDispidDisplay, &B::put_Display, {"bDisplay"})
          .Get(Role::kRead, "ID", kDispidID, &B::get_ID)
          .Method(Role::kAdmin, "SaveXML", kDispidElementSaveXML, &B::SaveXML, {"vtDest"})
          .Method(Role::kAdmin, "SaveXMLSnippet", kDispidSaveXMLSnippet, &B::SaveXMLSnippet,
                  {"vtDest"});
      return b.Build();
    }();
    return table;
  }
  // A class with members of its own hides this with a table that inherits ElementMembers().
  static const MemberTable& Members() { return ElementMembers(); }

  // The five common entries, in their fixed order.
  static void AddCommonProperties(PropertyMapBuilder<T>& b) {
    using B = ZelCollectionElementImpl;
    b.template Member<&B::index_>("INDEX", VT_UI4)
        .template Member<&B::id_>("ID", VT_UI2)
        .template Member<&B::name_>("NAME", VT_BSTR)
        .Property("FRIENDLYNAME", kDispidFriendlyName)
        .template Member<&B::display_>("DISPLAY", VT_BOOL);
  }
  // A class with entries of its own hides this.
  static const PropertyMap& Properties() {
    static const PropertyMap map = [] {
      PropertyMapBuilder<T> b;
      AddCommonProperties(b);
      return b.Build();
    }();
    return map;
  }

 protected:
  ZelCollectionElementImpl() = default;
  ~ZelCollectionElementImpl() override = default;

  // Answers the element's interfaces; a class with more interfaces answers those first.
  HRESULT QueryElementInterface(const IID& iid, void** ppv) {
    if (ppv != nullptr && iid == IPersistMemory::kIid) {
      memory_.AddRef();
      *ppv = static_cast<IPersistMemory*>(&memory_);
      return S_OK;
    }
    if (ppv != nullptr && iid == IFreshness::kIid) {
      freshness_.AddRef();
      *ppv = static_cast<IFreshness*>(&freshness_);
      return S_OK;
    }
    return QueryInterfaceFor<Interface, IZelCollectionElement, IDispatch, IPersistPropertyBag,
                             IPersistStreamInit>(static_cast<T*>(this), iid, ppv);
  }

 private:
  PropertyTarget Target() {
    T* self = static_cast<T*>(this);
    return PropertyTarget{static_cast<void*>(self), static_cast<Interface*>(self), &fields_mu()};
  }

  // IPersistMemory lives in its own small object (its InitNew and GetSizeMax differ from the
  // stream's), sharing the element's reference count.
  class MemoryInput final : public IPersistMemory {
   public:
    explicit MemoryInput(ZelCollectionElementImpl* outer) : outer_(outer) {}
    HRESULT QueryInterface(const IID& iid, void** ppv) override {
      return outer_->QueryInterface(iid, ppv);
    }
    uint32_t AddRef() override { return outer_->AddRef(); }
    uint32_t Release() override { return outer_->Release(); }
    HRESULT GetClassID(CLSID* clsid) override { return outer_->GetClassID(clsid); }
    HRESULT Load(const uint8_t* memory, uint32_t size) override {
      if (memory == nullptr) return E_POINTER;
      HRESULT hr = outer_->LoadStatus(memory, size);
      if (Succeeded(hr)) outer_->MarkRefreshed();
      return hr;
    }
    HRESULT Save(uint8_t*, bool, uint32_t) override { return E_NOTIMPL; }
    HRESULT GetSizeMax(uint32_t*) override { return E_NOTIMPL; }
    HRESULT InitNew() override { return E_NOTIMPL; }

   private:
    ZelCollectionElementImpl* outer_;
  };
  MemoryInput memory_{this};

  class Freshness final : public IFreshness {
   public:
    explicit Freshness(ZelCollectionElementImpl* outer) : outer_(outer) {}
    HRESULT QueryInterface(const IID& iid, void** ppv) override {
      return outer_->QueryInterface(iid, ppv);
    }
    uint32_t AddRef() override { return outer_->AddRef(); }
    uint32_t Release() override { return outer_->Release(); }
    HRESULT GetAge(double* seconds) override { return outer_->Age(seconds); }

   private:
    ZelCollectionElementImpl* outer_;
  };
  Freshness freshness_{this};
};

}  // namespace zel
