// The controller's built-in system zones: zones numbered above the controller's zone count,
// described by seven constant tables A to G instead of the controller's setup. Row k (from 1)
// of a table is one system zone: its point (200 to 238, also the resource string id of its
// built-in name), zone number, zone type and area.
//
// Two mappings from the controller model index pick a table:
//   - Type and Area of a zone: 0 A; 1, 2 B; 3 C; 4, 7, 9 D; 5, 10 E; others none;
//   - creating the system zone elements after the names: the same, except 9 F and 10 G.
//
// Thread contract: constant data; stateless.
#pragma once

#include <cstdint>
#include <span>

#include "platform/status.h"

namespace zel {

struct SystemZoneRow {
  uint32_t point = 0;  // resource string id of the zone's name
  uint8_t zone = 0;
  uint8_t type = 0;
  uint8_t area = 0;
  friend bool operator==(const SystemZoneRow&, const SystemZoneRow&) = default;
};

// Table 'A' .. 'G'; empty for any other letter.
std::span<const SystemZoneRow> SystemZoneTable(char table);

// The table Type and Area read for a model index (empty: none).
std::span<const SystemZoneRow> SystemZoneTableForLookup(int model_index);
// The table whose zones are created after the names for a model index (empty: none).
std::span<const SystemZoneRow> SystemZoneTableForCreation(int model_index);

// Row k (from 1) of the lookup table of a model: E_FAIL for a model above 10 or without a table,
// E_INVALIDARG for k beyond the table (or 0).
HRESULT LookUpSystemZone(int model_index, uint32_t k, SystemZoneRow* row);

}  // namespace zel
