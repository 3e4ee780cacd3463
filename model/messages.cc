#include "model/messages.h"

#include <array>
#include <cstring>

#include "link/convert_argument.h"
#include "link/frame.h"
#include "link/request.h"
#include "model/object_commands.h"
#include "server/zel_server.h"

namespace zel {
namespace {

constexpr std::array<uint8_t, 5> kMessageStatusRequest = {0x5A, 0x01, MSG_MESSAGE_STATUS, 0x01,
                                                          0x8B};
// Reply byte of the first four messages' bits.
constexpr size_t kFirstStatusByte = 4;

// An optional argument as one byte: `absent` when omitted, else its conversion to VT_UI1.
HRESULT OptionalByteOr(const Variant& argument, uint8_t absent, uint8_t* value) {
  if (argument.vt() == VT_ERROR) {
    *value = absent;
    return S_OK;
  }
  Variant converted;
  ZEL_TRY(ConvertArgument(argument, VT_UI1, &converted));
  *value = converted.ui1();
  return S_OK;
}

bool IsIntegerType(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool ExpectedMessageStatusHeader(int model_index, uint8_t header[3]) {
  uint8_t length = 0;
  switch (model_index) {
    case 1:
    case 2:
    case 5:
    case 10:
      length = 0x22;
      break;
    case 3:
      length = 0x06;
      break;
    case 4:
    case 7:
    case 9:
      length = 0x12;
      break;
    default:
      return false;
  }
  header[0] = kFrameStart;
  header[1] = length;
  header[2] = MSG_MESSAGE_STATUS_REPLY;
  return true;
}

bool MessageStatusBits(const uint8_t* reply, size_t size, uint16_t number, uint8_t* bits) {
  if (number == 0) return false;
  size_t at = kFirstStatusByte + (number - 1u) / 4;
  // The data bytes end before the two CRC bytes.
  if (size < 2 || at >= size - 2) return false;
  *bits = static_cast<uint8_t>((reply[at] >> (2 * (3 - (number - 1u) % 4))) & 3);
  return true;
}

// ---- CZelMessage ----------------------------------------------------------------------------

HRESULT CZelMessage::LoadStatus(const uint8_t* data, uint32_t size) {
  if (size < 3) return E_FAIL;
  MutexLock g(&fields_mu());
  displayed_ = data[0] != 0 ? VARIANT_TRUE : VARIANT_FALSE;
  acknowledged_ = data[1] != 0 ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT CZelMessage::get_Displayed(VariantBool* displayed) {
  if (displayed == nullptr) return E_POINTER;
  MutexLock g(&fields_mu());
  displayed->value = displayed_;
  return S_OK;
}

HRESULT CZelMessage::get_Acknowledged(VariantBool* acknowledged) {
  if (acknowledged == nullptr) return E_POINTER;
  MutexLock g(&fields_mu());
  acknowledged->value = acknowledged_;
  return S_OK;
}

HRESULT CZelMessage::MessageCommand(uint8_t command, uint8_t parameter1, bool refresh) {
  ZEL_TRY(SendObjectCommand(command, parameter1, id()));
  if (!refresh) return S_OK;
  return RefreshElement(kSlotMessages, static_cast<IZelMessage*>(this), index());
}

HRESULT CZelMessage::Log() { return MessageCommand(kCommandLogMessage, 0, false); }
HRESULT CZelMessage::Show() { return MessageCommand(kCommandShowMessage, 0, true); }
HRESULT CZelMessage::Clear() { return MessageCommand(kCommandClearMessage, 0, true); }

HRESULT CZelMessage::Say(Variant phone_number) {
  if (phone_number.vt() == VT_ERROR) return MessageCommand(kCommandSayMessage, 0, false);
  uint8_t number = 0;
  ZEL_TRY(OptionalByteOr(phone_number, 0, &number));
  return MessageCommand(kCommandSayMessageTo, number, false);
}

HRESULT CZelMessage::Send(Variant port) {
  uint8_t value = 0;
  ZEL_TRY(OptionalByteOr(port, kDefaultMessagePort, &value));
  return MessageCommand(kCommandSendMessage, value, false);
}

const MemberTable& CZelMessage::Members() {
  using T = CZelMessage;
  static const MemberTable table =
      MemberTableBuilder<T>("CZelMessage")
          .Inherit(ElementMembers())
          .Get(Role::kRead, "Displayed", kDispidMessageDisplayed, &T::get_Displayed)
          .Get(Role::kRead, "Acknowledged", kDispidMessageAcknowledged, &T::get_Acknowledged)
          .Method(Role::kControl, "Log", kDispidMessageLog, &T::Log)
          .Method(Role::kControl, "Show", kDispidMessageShow, &T::Show)
          .Method(Role::kControl, "Clear", kDispidMessageClear, &T::Clear)
          .Method(Role::kControl, "Say", kDispidMessageSay, &T::Say, {"vtPhoneNumber?"})
          .Method(Role::kControl, "Send", kDispidMessageSend, &T::Send, {"vtPort?"})
          .Build();
  return table;
}

const PropertyMap& CZelMessage::Properties() {
  static const PropertyMap map = [] {
    PropertyMapBuilder<CZelMessage> b;
    AddCommonProperties(b);
    b.Member<&CZelMessage::displayed_>("DISPLAYED", VT_BOOL)
        .Member<&CZelMessage::acknowledged_>("ACKNOWLEDGED", VT_BOOL);
    return b.Build();
  }();
  return map;
}

// ---- CZelMessages ---------------------------------------------------------------------------

HRESULT CZelMessages::get_HasStatus(VariantBool* has_status) {
  if (has_status == nullptr) return E_POINTER;
  has_status->value = has_status_.load() ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT CZelMessages::Init() {
  HRESULT hr = ZelCollectionImpl::Init();
  if (hr != S_FALSE) has_status_ = true;
  return hr;
}

HRESULT CZelMessages::Clear(Variant area) {
  uint8_t area_byte = 0;
  if (IsIntegerType(area.vt())) {
    // Left to the implementer: an integer area gives its low byte; any other value is
    // converted to one byte (and refused when it does not convert).
    Variant wide;
    ZEL_TRY(ChangeType(area, VT_I8, &wide));
    area_byte = static_cast<uint8_t>(wide.i8() & 0xFF);
  } else {
    ZEL_TRY(OptionalByteOr(area, 0, &area_byte));
  }
  ZEL_TRY(SendObjectCommand(kCommandClearMessage, area_byte, 0));
  return UpdateElements(true, kAllElements, false);
}

HRESULT CZelMessages::UpdateElements(bool /*fire_events*/, uint32_t /*index*/, bool /*try_only*/) {
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_UNEXPECTED;
  ComPtr<IZelCommHandler> link = server->transport();
  ReplyBuffer reply;
  ZEL_TRY(SendControllerRequest(link.get(), true, kMessageStatusRequest.data(),
                                kMessageStatusRequest.size(), &reply));
  uint8_t header[3];
  if (!ExpectedMessageStatusHeader(server->model_index(), header) ||
      std::memcmp(reply.get(), header, sizeof header) != 0) {
    return E_FAIL;
  }
  size_t size = reply.get()[1] + kFrameOverhead;
  for (const ComPtr<IDispatch>& element : Elements()) {
    uint16_t number = 0;
    if (Failed(ElementId(element.get(), &number))) break;
    uint8_t bits = 0;
    // Left to the implementer: a message numbered beyond what the reply covers keeps its flags.
    if (!MessageStatusBits(reply.get(), size, number, &bits)) continue;
    const uint8_t flags[2] = {static_cast<uint8_t>(bits & 1), static_cast<uint8_t>(bits < 2)};
    ComPtr<IPersistMemory> memory;
    if (Failed(QueryAs<IPersistMemory>(element.get(), &memory))) break;
    // The size a status reply of two data bytes would carry: its length byte.
    if (Failed(memory->Load(flags, 3))) break;
  }
  return S_OK;
}

const MemberTable& CZelMessages::Members() {
  static const MemberTable table =
      MemberTableBuilder<CZelMessages>("CZelMessages")
          .Inherit(CollectionMembers())
          .Get(Role::kRead, "HasStatus", kDispidMessagesHasStatus, &CZelMessages::get_HasStatus)
          .Method(Role::kControl, "Clear", kDispidMessagesClear, &CZelMessages::Clear, {"vtArea?"})
          .Build();
  return table;
}

}  // namespace zel
