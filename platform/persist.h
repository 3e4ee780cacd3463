// Persistence contracts: objects that save themselves to and load themselves from a stream, a
// property bag or a block of memory.
//
// Thread contract: the caller serialises calls on one object.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/stream.h"
#include "platform/unknown.h"
#include "platform/variant.h"

namespace zel {

struct IPropertyBag : IUnknown {
  static constexpr IID kIid = MakeGuid(0x55272A00, 0x42CB, 0x11CE, 0x813500AA004BB851);
  // Reads `name`. On entry value->vt() is the wanted type (VT_EMPTY: as stored); the stored
  // value is converted to it. Missing name: E_INVALIDARG; conversion failures as ChangeType.
  virtual HRESULT Read(std::string_view name, Variant* value) = 0;
  virtual HRESULT Write(std::string_view name, const Variant& value) = 0;
};

struct IPersistStreamInit : IUnknown {
  static constexpr IID kIid = MakeGuid(0x7FD52380, 0x4E07, 0x101B, 0xAE2D08002B2EC713);
  virtual HRESULT GetClassID(CLSID* clsid) = 0;
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT Load(IStream* stream) = 0;
  virtual HRESULT Save(IStream* stream, bool clear_dirty) = 0;
  virtual HRESULT GetSizeMax(uint64_t* size) = 0;
  virtual HRESULT InitNew() = 0;
};

struct IPersistPropertyBag : IUnknown {
  static constexpr IID kIid = MakeGuid(0x37D84F60, 0x42CB, 0x11CE, 0x813500AA004BB851);
  virtual HRESULT GetClassID(CLSID* clsid) = 0;
  virtual HRESULT InitNew() = 0;
  virtual HRESULT Load(IPropertyBag* bag) = 0;
  virtual HRESULT Save(IPropertyBag* bag, bool clear_dirty, bool save_all) = 0;
};

struct IPersistMemory : IUnknown {
  static constexpr IID kIid = MakeGuid(0xBD1AE5E0, 0xA6AE, 0x11CE, 0xBD37504200C10000);
  virtual HRESULT GetClassID(CLSID* clsid) = 0;
  virtual HRESULT Load(const uint8_t* memory, uint32_t size) = 0;
  virtual HRESULT Save(uint8_t* memory, bool clear_dirty, uint32_t size) = 0;
  virtual HRESULT GetSizeMax(uint32_t* size) = 0;
  virtual HRESULT InitNew() = 0;
};

}  // namespace zel
