#include "model/buttons.h"

#include "model/object_commands.h"

namespace zel {

HRESULT CZelButton::Execute() { return SendObjectCommand(kCommandExecuteButton, 0, id()); }

const MemberTable& CZelButton::Members() {
  static const MemberTable table =
      MemberTableBuilder<CZelButton>("CZelButton")
          .Inherit(ElementMembers())
          .Method(Role::kControl, "Execute", kDispidButtonExecute, &CZelButton::Execute)
          .Build();
  return table;
}

}  // namespace zel
