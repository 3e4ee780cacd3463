// The data the object model owns: the unit type rule over the capability records, the paired
// output units, and the system zone tables with their two model mappings.
#include <gtest/gtest.h>

#include "model/model_classes.h"
#include "model/system_zone_tables.h"
#include "model/unit_types.h"

namespace zel {
namespace {

// Model index 7 from firmware 2.16 on: X10 1-64, voltage 65-72, expansion 0-0, counters 73-128,
// audio sources 113-118, audio zones 121-128.
const CapabilityRecord& Record8() { return *CapabilityRecordAt(8); }

int TypeOf(uint16_t number, bool audio) {
  int type = -1;
  return Succeeded(UnitTypeOf(&Record8(), audio, number, &type)) ? type : -1;
}

TEST(UnitTypeRuleTest, RangesInTheirOrder) {
  EXPECT_EQ(kUnitTypeX10, TypeOf(1, false));
  EXPECT_EQ(kUnitTypeX10, TypeOf(64, false));
  EXPECT_EQ(kUnitTypeVoltage, TypeOf(65, false));
  EXPECT_EQ(kUnitTypeVoltage, TypeOf(72, false));
  EXPECT_EQ(kUnitTypeCounter, TypeOf(73, false));
  // The audio ranges come first, and only when the controller drives an audio system.
  EXPECT_EQ(kUnitTypeCounter, TypeOf(113, false));
  EXPECT_EQ(kUnitTypeAudioSource, TypeOf(113, true));
  EXPECT_EQ(kUnitTypeAudioSource, TypeOf(118, true));
  EXPECT_EQ(kUnitTypeCounter, TypeOf(119, true));
  EXPECT_EQ(kUnitTypeAudioZone, TypeOf(121, true));
  EXPECT_EQ(kUnitTypeAudioZone, TypeOf(128, true));
  EXPECT_EQ(-1, TypeOf(129, true));
  int type = 0;
  EXPECT_EQ(E_FAIL, UnitTypeOf(nullptr, true, 1, &type));
}

TEST(UnitTypeRuleTest, ClassesOfTheTypes) {
  EXPECT_EQ(kClsidZelX10Unit, UnitClassOf(S_OK, kUnitTypeX10));
  EXPECT_EQ(kClsidZelVoltageUnit, UnitClassOf(S_OK, kUnitTypeVoltage));
  EXPECT_EQ(kClsidZelExpansionUnit, UnitClassOf(S_OK, kUnitTypeExpansion));
  EXPECT_EQ(kClsidZelCounterUnit, UnitClassOf(S_OK, kUnitTypeCounter));
  EXPECT_EQ(kClsidZelAudioSource, UnitClassOf(S_OK, kUnitTypeAudioSource));
  EXPECT_EQ(kClsidZelAudioZone, UnitClassOf(S_OK, kUnitTypeAudioZone));
  EXPECT_EQ(kClsidZelUnit, UnitClassOf(E_FAIL, 0)) << "a number in no range: the plain unit";
}

TEST(UnitTypeRuleTest, PairedOutputUnits) {
  // Record 5: zones up to 16 pair with 392 - 16 + zone, later ones with 257 - 49 + zone.
  const CapabilityRecord& r = *CapabilityRecordAt(5);
  EXPECT_EQ(381, PairedUnitNumber(r, 5));
  EXPECT_EQ(392, PairedUnitNumber(r, 16));
  EXPECT_EQ(225, PairedUnitNumber(r, 17));
}

TEST(SystemZoneTablesTest, RowCountsAndRuns) {
  const std::pair<char, size_t> counts[] = {{'A', 13}, {'B', 37}, {'C', 11}, {'D', 15},
                                            {'E', 39}, {'F', 6},  {'G', 6}};
  for (auto [table, count] : counts) {
    std::span<const SystemZoneRow> rows = SystemZoneTable(table);
    ASSERT_EQ(count, rows.size()) << table;
    for (size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(rows[0].zone + i, rows[i].zone) << table << i;  // zones run without gaps
      EXPECT_GE(rows[i].point, 200u);
      EXPECT_LE(rows[i].point, 238u);
    }
  }
  EXPECT_TRUE(SystemZoneTable('H').empty());
  EXPECT_EQ((SystemZoneRow{236, 33, 54, 1}), SystemZoneTable('A')[0]);
  EXPECT_EQ((SystemZoneRow{201, 35, 33, 2}), SystemZoneTable('A')[2]);
  EXPECT_EQ((SystemZoneRow{235, 45, 64, 1}), SystemZoneTable('A')[12]);
  EXPECT_EQ((SystemZoneRow{207, 105, 33, 8}), SystemZoneTable('B')[8]);
  EXPECT_EQ((SystemZoneRow{231, 129, 18, 8}), SystemZoneTable('B')[32]);
  EXPECT_EQ((SystemZoneRow{238, 36, 64, 1}), SystemZoneTable('C')[10]);
  EXPECT_EQ((SystemZoneRow{217, 55, 48, 2}), SystemZoneTable('D')[6]);
  EXPECT_EQ((SystemZoneRow{215, 193, 17, 8}), SystemZoneTable('E')[16]);
  EXPECT_EQ((SystemZoneRow{238, 54, 64, 1}), SystemZoneTable('F')[5]);
  EXPECT_EQ((SystemZoneRow{232, 178, 64, 1}), SystemZoneTable('G')[1]);
}

TEST(SystemZoneTablesTest, ModelMappings) {
  auto first_zone = [](std::span<const SystemZoneRow> t) { return t.empty() ? 0 : t[0].zone; };
  // Type and Area: 0 A; 1, 2 B; 3 C; 4, 7, 9 D; 5, 10 E.
  const int lookup[][2] = {{0, 33}, {1, 97}, {2, 97}, {3, 26},   {4, 49}, {5, 177}, {6, 0},
                           {7, 49}, {8, 0},  {9, 49}, {10, 177}, {11, 0}, {-1, 0}};
  for (auto [model, zone] : lookup) {
    EXPECT_EQ(zone, first_zone(SystemZoneTableForLookup(model))) << model;
  }
  // Creation differs for 9 (F) and 10 (G) only.
  EXPECT_EQ(6u, SystemZoneTableForCreation(9).size());
  EXPECT_EQ(6u, SystemZoneTableForCreation(10).size());
  EXPECT_EQ(15u, SystemZoneTableForCreation(7).size());
  EXPECT_TRUE(SystemZoneTableForCreation(8).empty());

  SystemZoneRow row;
  ASSERT_EQ(S_OK, LookUpSystemZone(0, 1, &row));
  EXPECT_EQ(54, row.type);
  EXPECT_EQ(1, row.area);
  EXPECT_EQ(E_INVALIDARG, LookUpSystemZone(0, 14, &row)) << "zone 46 on a 32-zone model";
  EXPECT_EQ(E_INVALIDARG, LookUpSystemZone(0, 0, &row));
  EXPECT_EQ(E_FAIL, LookUpSystemZone(6, 1, &row));
  EXPECT_EQ(E_FAIL, LookUpSystemZone(11, 1, &row));
}

}  // namespace
}  // namespace zel
