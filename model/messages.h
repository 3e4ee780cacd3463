// Messages: CZelMessages holds one CZelMessage per text message of the controller.
//
// Poll: one exchange for every message, replacing the generic per-element poll (its arguments
// are ignored and no update mutex is taken). The request is the fixed frame 5A 01 24 01 8B; the
// reply must start with the header of the connected model, else E_FAIL and no flag changes:
//
//   model index     expected header
//   1, 2, 5, 10     5A 22 25
//   3               5A 06 25
//   4, 7, 9         5A 12 25
//   0, 6, 8, others none: every poll fails with E_FAIL
//
// Two bits per message, four messages per byte, from reply byte 4 (the start byte being byte
// 0): message n's bits are in byte 4 + (n - 1) / 4 at bit 2 * (3 - (n - 1) % 4), so the first
// of each four has the top two bits. Value 0 not displayed, acknowledged; 1 displayed,
// acknowledged; 2 not displayed, not acknowledged; 3 displayed, not acknowledged.
//
// Commands (command, first parameter, second parameter):
//   IZelMessage::Log()          0x51, 0, message ID
//   IZelMessage::Show()         0x50, 0, message ID          then a poll of the messages
//   IZelMessage::Clear()        0x52, 0, message ID          then a poll of the messages
//   IZelMessage::Say()          0x53, 0, message ID
//   IZelMessage::Say(number)    0x54, number as one byte, message ID
//   IZelMessage::Send()         0x55, 2, message ID
//   IZelMessage::Send(port)     0x55, port as one byte, message ID
//   IZelMessages::Clear(area)   0x52, low byte of the area (0 when omitted), 0   then a poll
// An argument that does not convert to one byte is refused with the conversion's code and
// nothing is sent.
//
// Thread contract: as every element and collection (collection_element.h, collection_core.h).
// A message's flags are guarded by fields_mu(); the collection's has-status flag is atomic.
#pragma once

#include <atomic>
#include <cstdint>

#include "model/collection.h"
#include "model/collection_element.h"
#include "model/standard_collections.h"

namespace zel {

inline constexpr DISPID kDispidMessageDisplayed = 0x60030000;
inline constexpr DISPID kDispidMessageAcknowledged = 0x60030001;
inline constexpr DISPID kDispidMessageLog = 0x60030002;
inline constexpr DISPID kDispidMessageShow = 0x60030003;
inline constexpr DISPID kDispidMessageClear = 0x60030004;
inline constexpr DISPID kDispidMessageSay = 0x60030005;
inline constexpr DISPID kDispidMessageSend = 0x60030006;
inline constexpr DISPID kDispidMessagesHasStatus = 0x60040000;
inline constexpr DISPID kDispidMessagesClear = 0x60040001;

inline constexpr uint8_t MSG_MESSAGE_STATUS = 0x24;
inline constexpr uint8_t MSG_MESSAGE_STATUS_REPLY = 0x25;
inline constexpr uint8_t kCommandShowMessage = 0x50;
inline constexpr uint8_t kCommandLogMessage = 0x51;
inline constexpr uint8_t kCommandClearMessage = 0x52;
inline constexpr uint8_t kCommandSayMessage = 0x53;
inline constexpr uint8_t kCommandSayMessageTo = 0x54;
inline constexpr uint8_t kCommandSendMessage = 0x55;
// The port Send uses when none is given.
inline constexpr uint8_t kDefaultMessagePort = 2;

struct IZelMessage : IZelCollectionElement {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelMessage);
  virtual HRESULT get_Displayed(VariantBool* displayed) = 0;
  virtual HRESULT get_Acknowledged(VariantBool* acknowledged) = 0;
  virtual HRESULT Log() = 0;
  virtual HRESULT Show() = 0;
  virtual HRESULT Clear() = 0;
  virtual HRESULT Say(Variant phone_number) = 0;
  virtual HRESULT Send(Variant port) = 0;
};

struct IZelMessages : IZelCollection {
  static constexpr IID kIid = ModelInterfaceId(kClsidZelMessages);
  virtual HRESULT get_HasStatus(VariantBool* has_status) = 0;
  virtual HRESULT Clear(Variant area) = 0;
};

// The header a message status reply must start with on a model; false for models without one.
bool ExpectedMessageStatusHeader(int model_index, uint8_t header[3]);

// The two status bits of message `number` (from 1) in a reply of `size` bytes; false when the
// reply does not reach them.
bool MessageStatusBits(const uint8_t* reply, size_t size, uint16_t number, uint8_t* bits);

class CZelMessage final
    : public ZelCollectionElementImpl<CZelMessage, IZelMessage, /*name type*/ 7> {
 public:
  static constexpr CLSID kClsid = kClsidZelMessage;
  static constexpr std::string_view kTypeName = "CZelMessage";

  HRESULT get_Displayed(VariantBool* displayed) override;
  HRESULT get_Acknowledged(VariantBool* acknowledged) override;
  HRESULT Log() override;
  HRESULT Show() override;
  HRESULT Clear() override;
  HRESULT Say(Variant phone_number) override;
  HRESULT Send(Variant port) override;

  // Two data bytes: displayed, acknowledged (nonzero: true). Fewer: E_FAIL, flags unchanged.
  HRESULT LoadStatus(const uint8_t* data, uint32_t size) override;

  static const MemberTable& Members();
  static const PropertyMap& Properties();

 private:
  // Sends a command for this message; with `refresh`, polls the messages once acknowledged.
  HRESULT MessageCommand(uint8_t command, uint8_t parameter1, bool refresh);

  int16_t displayed_ = VARIANT_FALSE;     // guarded by fields_mu()
  int16_t acknowledged_ = VARIANT_FALSE;  // guarded by fields_mu()
};

inline constexpr CollectionTraits kMessagesTraits{
    "CZelMessages",       7,     kClsidZelMessage, "MESSAGES",
    /*status_message=*/0, false, &MessagesInterval};

class CZelMessages final : public ZelCollectionImpl<CZelMessages, IZelMessages, kMessagesTraits> {
 public:
  static constexpr CLSID kClsid = kClsidZelMessages;

  HRESULT get_HasStatus(VariantBool* has_status) override;
  HRESULT Clear(Variant area) override;
  // The template's Init; then the collection has status unless that declined (S_FALSE).
  HRESULT Init() override;
  // The one exchange for every message (see the top of the file).
  HRESULT UpdateElements(bool fire_events, uint32_t index, bool try_only) override;

  static const MemberTable& Members();

 private:
  std::atomic<bool> has_status_{false};
};

}  // namespace zel
