#include "model/name_upload.h"

#include "link/frame.h"
#include "link/request.h"
#include "platform/text_encoding.h"

namespace zel {

uint32_t NameFieldLength(uint32_t object_type) {
  switch (object_type) {
    case 1:  // zones (and temperature sensors)
    case 7:  // messages
      return 16;
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 8:
    case 9:
      return 13;
    default:
      return 0;
  }
}

HRESULT BuildNameUploadFrame(uint32_t object_type, uint16_t number, std::string_view latin1_name,
                             std::vector<uint8_t>* frame) {
  if (frame == nullptr) return E_POINTER;
  uint32_t field = NameFieldLength(object_type);
  if (field == 0 || latin1_name.size() > field) return E_FAIL;
  uint32_t number_bytes = number < 256 ? 1 : 2;
  // L counts the type byte, the object type, the number and the name field.
  uint32_t length = 1 + 1 + number_bytes + field;
  frame->assign(length + kFrameOverhead, 0);
  std::vector<uint8_t>& f = *frame;
  f[0] = kFrameStart;
  f[1] = static_cast<uint8_t>(length);
  f[2] = MSG_NAME_DATA;
  f[3] = static_cast<uint8_t>(object_type);
  size_t at = 4;
  if (number_bytes == 2) f[at++] = static_cast<uint8_t>(number >> 8);
  f[at++] = static_cast<uint8_t>(number & 0xFF);
  // Left to the implementer: the field's bytes after the name (and its terminator) are zero.
  for (char c : latin1_name) f[at++] = static_cast<uint8_t>(c);
  SetFrameCrc(f.data(), static_cast<uint32_t>(f.size()));
  return S_OK;
}

HRESULT UploadName(IZelCommHandler* transport, uint32_t object_type, uint16_t number,
                   const BStr& name) {
  std::string latin1 = Utf8ToLatin1(name.str());
  std::vector<uint8_t> frame;
  ZEL_TRY(BuildNameUploadFrame(object_type, number, latin1, &frame));
  return SendControllerWrite(transport, true, frame.data(), static_cast<uint32_t>(frame.size()));
}

}  // namespace zel
