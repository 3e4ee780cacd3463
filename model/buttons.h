// Buttons: CZelButtons holds one CZelButton per programmed macro of the controller. Buttons have
// no status; Execute runs one:
//   IZelButton::Execute   command 7, first parameter 0, second parameter the button's ID
// and nothing is refreshed after it.
//
// Thread contract: as every element and collection (collection_element.h, collection_core.h);
// Execute runs on the client's thread.
#pragma once

#include "model/collection.h"
#include "model/collection_element.h"
#include "model/standard_collections.h"

namespace zel {

inline constexpr DISPID kDispidButtonExecute = 0x60030000;
inline constexpr uint8_t kCommandExecuteButton = 7;

struct IZelButton : IZelCollectionElement {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelButton);
  virtual HRESULT Execute() = 0;
};

struct IZelButtons : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelButtons);
};

class CZelButton final : public ZelCollectionElementImpl<CZelButton, IZelButton, /*name type*/ 3> {
 public:
  static constexpr CLSID kClsid = kClsidZelButton;
  static constexpr std::string_view kTypeName = "CZelButton";

  HRESULT Execute() override;

  static const MemberTable& Members();
};

inline constexpr CollectionTraits kButtonsTraits{
    "CZelButtons", 3, kClsidZelButton, "BUTTONS", /*status_message=*/0, false, &NoInterval};

class CZelButtons final : public ZelCollectionImpl<CZelButtons, IZelButtons, kButtonsTraits> {
 public:
  static constexpr CLSID kClsid = kClsidZelButtons;
};

}  // namespace zel
