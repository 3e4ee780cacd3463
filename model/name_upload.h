// The name upload: an element sends its name to the controller with message type 0x0B.
//
//   number < 256, types 2-6, 8, 9:  5A 10 0B type number name[13] crc  (20 bytes)
//   number < 256, types 1, 7:       5A 13 0B type number name[16] crc  (23 bytes)
//   number >= 256, types 2-6, 8, 9: 5A 11 0B type hi lo name[13] crc   (21 bytes)
//   number >= 256, types 1, 7:      5A 14 0B type hi lo name[16] crc   (24 bytes)
//
// The name is single-byte (ISO-8859-1) text, ended by a zero byte inside its field when shorter
// than the field; the rest of the field is zero bytes. The only good reply is the acknowledge.
//
// Thread contract: stateless.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "link/comm_handler.h"
#include "platform/bstr.h"

namespace zel {

inline constexpr uint8_t MSG_NAME_DATA = 0x0B;

// The longest name an object type takes: 16 for types 1 and 7, 13 for 2 to 6, 8 and 9, 0 for
// every other type (no upload).
uint32_t NameFieldLength(uint32_t object_type);

// Builds the frame for a name given as single-byte text. E_FAIL for a type without a name field
// or a name longer than the field.
HRESULT BuildNameUploadFrame(uint32_t object_type, uint16_t number, std::string_view latin1_name,
                             std::vector<uint8_t>* frame);

// Checks the length, builds the frame and sends it as one atomic exchange: E_FAIL before any
// frame for a name that is too long, CO_E_NOT_SUPPORTED for a reply other than the acknowledge.
HRESULT UploadName(IZelCommHandler* transport, uint32_t object_type, uint16_t number,
                   const BStr& name);

}  // namespace zel
