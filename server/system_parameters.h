// Typed values of the controller's setup block (SystemParametersInfo): where each parameter lies
// in the block for each controller model, the 14-byte user code records, the two-block table of
// parameter 19, and the audio scan that tells which audio system the controller drives.
//
// The index argument carries the parameter number (1 to 20) in its low 16 bits and the sub-index
// (entry of a table parameter, from 0) in its high 16 bits.
//
// Thread contract: stateless; the caller passes a snapshot of the setup block.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>

#include "platform/variant.h"
#include "server/interfaces.h"
#include "server/system_info.h"

namespace zel {

inline constexpr uint32_t kParamUserCode = 3;
inline constexpr uint32_t kParamExpansionType = 9;
inline constexpr uint32_t kParamTemperatureFormat = 11;
inline constexpr uint32_t kParamTimeZone = 14;
inline constexpr uint32_t kParamAudioPresent = 20;
inline constexpr uint32_t kParamCount = 20;

// Everything a parameter read depends on.
struct SetupBlockView {
  std::span<const uint8_t> block;        // the downloaded setup block
  int model_index = kUnknownModelIndex;  // the connected model
  const CapabilityRecord* capabilities = nullptr;
  std::time_t now = 0;  // local "now" for the code access dates
};

constexpr uint32_t ParameterIndex(uint32_t parameter, uint32_t sub_index) {
  return sub_index << 16 | parameter;
}

// SystemParametersInfo on a setup block. An empty block: E_FAIL. Parameter 0, 5 or above 20:
// E_INVALIDARG. Results are VT_I4, except parameter 3 (the four-digit code as VT_BSTR),
// 6 and 7 (VT_DATE) and 20 (VT_BOOL). An offset past the end of the block: DISP_E_BADINDEX.
HRESULT ReadSystemParameter(const SetupBlockView& view, uint32_t index, Variant* value);

// The audio scan: the first value among parameter 9's scanned entries, then parameter 19's, that
// names an audio system (7, 8, 11 to 16, 19); 0 when none does.
int32_t ScanForAudioValue(const SetupBlockView& view);

// The audio control model the scan finds; acmUnknown without a capability record.
AudioControlModel AudioControlModelOf(const SetupBlockView& view);

}  // namespace zel
