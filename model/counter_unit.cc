#include "model/counter_unit.h"

#include "link/convert_argument.h"

namespace zel {

HRESULT CZelCounterUnit::Inc() { return UnitCommand(kCommandCounterInc, 0, id()); }

HRESULT CZelCounterUnit::Dec() { return UnitCommand(kCommandCounterDec, 0, id()); }

HRESULT CZelCounterUnit::Set(Variant value) {
  Variant converted;
  ZEL_TRY(ConvertArgument(value, VT_UI1, &converted));
  return UnitCommand(kCommandCounterSet, converted.ui1(), id());
}

const MemberTable& CZelCounterUnit::Members() {
  static const MemberTable table =
      MemberTableBuilder<CZelCounterUnit>("CZelCounterUnit")
          .Inherit(UnitMembers())
          .Method(Role::kControl, "Inc", kDispidCounterInc, &CZelCounterUnit::Inc)
          .Method(Role::kControl, "Dec", kDispidCounterDec, &CZelCounterUnit::Dec)
          .Method(Role::kControl, "Set", kDispidCounterSet, &CZelCounterUnit::Set, {"vtSet"})
          .Build();
  return table;
}

}  // namespace zel
