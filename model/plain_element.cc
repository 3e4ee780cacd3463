#include "model/plain_element.h"

#include "platform/property_bag.h"
#include "platform/resource_library.h"

namespace zel {

HRESULT CreateEmptyElement(IDispatch** element) {
  if (element == nullptr) return E_POINTER;
  *element = nullptr;
  ComPtr<CZelCollectionElement> created = MakeObject<CZelCollectionElement>();
  BStr name;
  if (Succeeded(LoadResourceString(kEmptyElementNameStringId, &name))) {
    ComPtr<CPropertyBag> bag = MakeObject<CPropertyBag>();
    (void)bag->Write("NAME", Variant::Str(name));
    ZEL_TRY(created->Load(bag.get()));
  }
  *element = static_cast<IDispatch*>(created.Detach());
  return S_OK;
}

}  // namespace zel
