// The "Setup" stream of the local store: the server's stored configuration. Little-endian, no
// header, fields back to back:
//
//   offset  size  field
//        0    10  access code, UTF-16LE: four characters and a zero character
//       10     2  DownloadSetup (automation boolean: 0xFFFF true, 0 false)
//       12    16  SetupLastDownload, the raw 16-byte variant (type tag, three reserved words,
//                 8-byte value)
//       28     2  DownloadNames
//       30    16  NamesLastDownload, raw variant
//       46     2  SetControllerTime
//       48    16  class id of the transport (only when a transport is set and reports one)
//       64     …  the transport's own settings stream (its IPersistStreamInit::Save)
//
// Reading stops at the first field that cannot be read whole; the fields read before it are
// applied and the others keep their values.
//
// Thread contract: constants and stateless helpers.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "platform/bstr.h"

namespace zel {

inline constexpr std::string_view kSetupStreamName = "Setup";

inline constexpr uint32_t kSetupAccessCodeSize = 10;
inline constexpr uint32_t kSetupBoolSize = 2;
inline constexpr uint32_t kSetupVariantSize = 16;
inline constexpr uint32_t kSetupClassIdSize = 16;
// The fixed part before the class id.
inline constexpr uint32_t kSetupFixedSize =
    kSetupAccessCodeSize + 3 * kSetupBoolSize + 2 * kSetupVariantSize;
static_assert(kSetupFixedSize == 48);

// The access code's stored form: its first four UTF-16 characters (zero-padded when shorter)
// and a zero character.
std::array<uint8_t, kSetupAccessCodeSize> EncodeSetupAccessCode(const BStr& code);
// The characters before the first zero of the first four.
BStr DecodeSetupAccessCode(const uint8_t* bytes);

}  // namespace zel
