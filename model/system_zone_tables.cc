#include "model/system_zone_tables.h"

#include <array>

namespace zel {
namespace {

// A run of consecutive rows: zone numbers and points count up by one; areas count up by one
// when `area_steps`, else stay. Zone types are the controller's codes, kept as numbers.
struct Run {
  uint8_t first_zone;
  uint8_t count;
  uint32_t first_point;
  uint8_t type;
  uint8_t first_area;
  bool area_steps;
};

template <size_t N, size_t R>
constexpr std::array<SystemZoneRow, N> Expand(const std::array<Run, R>& runs) {
  std::array<SystemZoneRow, N> rows{};
  size_t at = 0;
  for (const Run& run : runs) {
    for (uint8_t i = 0; i < run.count; ++i) {
      rows[at++] =
          SystemZoneRow{run.first_point + i, static_cast<uint8_t>(run.first_zone + i), run.type,
                        static_cast<uint8_t>(run.first_area + (run.area_steps ? i : 0))};
    }
  }
  if (at != N) throw "row count does not match the runs";  // fails the constant evaluation
  return rows;
}

constexpr auto kTableA = Expand<13>(std::array<Run, 6>{{
    {33, 1, 236, 54, 1, false},
    {34, 2, 200, 33, 1, true},
    {36, 2, 208, 17, 1, true},
    {38, 2, 216, 48, 1, true},
    {40, 2, 224, 18, 1, true},
    {42, 4, 232, 64, 1, false},
}});

constexpr auto kTableB = Expand<37>(std::array<Run, 6>{{
    {97, 1, 236, 54, 1, false},
    {98, 8, 200, 33, 1, true},
    {106, 8, 208, 17, 1, true},
    {114, 8, 216, 48, 1, true},
    {122, 8, 224, 18, 1, true},
    {130, 4, 232, 64, 1, false},
}});

constexpr auto kTableC = Expand<11>(std::array<Run, 8>{{
    {26, 1, 236, 54, 1, false},
    {27, 1, 200, 33, 1, false},
    {28, 1, 208, 17, 1, false},
    {29, 1, 216, 48, 1, false},
    {30, 1, 224, 18, 1, false},
    {31, 4, 232, 64, 1, false},
    {35, 1, 237, 64, 1, false},
    {36, 1, 238, 64, 1, false},
}});

constexpr auto kTableD = Expand<15>(std::array<Run, 8>{{
    {49, 1, 236, 54, 1, false},
    {50, 2, 200, 33, 1, true},
    {52, 2, 208, 17, 1, true},
    {54, 2, 216, 48, 1, true},
    {56, 2, 224, 18, 1, true},
    {58, 4, 232, 64, 1, false},
    {62, 1, 237, 64, 1, false},
    {63, 1, 238, 64, 1, false},
}});

constexpr auto kTableE = Expand<39>(std::array<Run, 8>{{
    {177, 1, 236, 54, 1, false},
    {178, 8, 200, 33, 1, true},
    {186, 8, 208, 17, 1, true},
    {194, 8, 216, 48, 1, true},
    {202, 8, 224, 18, 1, true},
    {210, 4, 232, 64, 1, false},
    {214, 1, 237, 64, 1, false},
    {215, 1, 238, 64, 1, false},
}});

constexpr auto kTableF = Expand<6>(std::array<Run, 3>{{
    {49, 1, 236, 54, 1, false},
    {50, 4, 232, 64, 1, false},
    {54, 1, 238, 64, 1, false},
}});

constexpr auto kTableG = Expand<6>(std::array<Run, 3>{{
    {177, 1, 236, 54, 1, false},
    {178, 4, 232, 64, 1, false},
    {182, 1, 238, 64, 1, false},
}});

}  // namespace

std::span<const SystemZoneRow> SystemZoneTable(char table) {
  switch (table) {
    case 'A':
      return kTableA;
    case 'B':
      return kTableB;
    case 'C':
      return kTableC;
    case 'D':
      return kTableD;
    case 'E':
      return kTableE;
    case 'F':
      return kTableF;
    case 'G':
      return kTableG;
    default:
      return {};
  }
}

std::span<const SystemZoneRow> SystemZoneTableForLookup(int model_index) {
  switch (model_index) {
    case 0:
      return SystemZoneTable('A');
    case 1:
    case 2:
      return SystemZoneTable('B');
    case 3:
      return SystemZoneTable('C');
    case 4:
    case 7:
    case 9:
      return SystemZoneTable('D');
    case 5:
    case 10:
      return SystemZoneTable('E');
    default:
      return {};
  }
}

std::span<const SystemZoneRow> SystemZoneTableForCreation(int model_index) {
  if (model_index == 9) return SystemZoneTable('F');
  if (model_index == 10) return SystemZoneTable('G');
  return SystemZoneTableForLookup(model_index);
}

HRESULT LookUpSystemZone(int model_index, uint32_t k, SystemZoneRow* row) {
  if (row == nullptr) return E_POINTER;
  std::span<const SystemZoneRow> table = SystemZoneTableForLookup(model_index);
  if (table.empty()) return E_FAIL;
  if (k == 0 || k > table.size()) return E_INVALIDARG;
  *row = table[k - 1];
  return S_OK;
}

}  // namespace zel
