#include "server/event_routing.h"

namespace zel {

std::optional<EventMember> EventMemberNamed(std::string_view name) {
  for (size_t i = 0; i < kHandlerPropertyNames.size(); ++i) {
    if (kHandlerPropertyNames[i] == name) {
      return EventMember{static_cast<int>(i), ServerEventDispid(name)};
    }
  }
  return std::nullopt;
}

std::string_view LogEventMember(int32_t type) {
  switch (type) {
    case 4:
    case 132:
      return "OnBypassEvent";
    case 5:
    case 6:
      return "OnRestoreEvent";
    case 128:
    case 129:
    case 133:
      return "OnTroubleEvent";
    case 130:
    case 134:
      return "OnAccessEvent";
    case 135:
    case 136:
      return "OnAlarmEvent";
    case 138:
      return "OnMessageEvent";
    default:
      break;
  }
  if (type >= 48 && type <= 54) return "OnArmEvent";
  return {};  // 131, 137 and every other type: OnEvent only
}

std::string_view SystemEventMember(int32_t type) {
  switch (type) {
    case 1:
    case 2:
    case 3:
    case 4:
      return "OnSystemPhoneLineStatusChange";
    case 5:
    case 6:
      return "OnSystemPowerStatusChange";
    case 7:
    case 8:
      return "OnSystemBatteryStatus";
    case 9:
    case 10:
      return "OnSystemDCMStatusChange";
    case 11:
    case 12:
    case 13:
    case 14:
      return "OnSystemEnergyCostChange";
    case 15:
      return "OnSystemMacroButton";
    case 16:
      return "OnSystemAlarmActivate";
    case 17:
      return "OnSystemZoneStatusChange";
    case 18:
      return "OnSystemUnitStatusChange";
    case 19:
      return "OnSystemX10CodeReceived";
    case 20:
      return "OnSystemSecurityArming";
    case 21:
      return "OnSystemAllOnOff";
    case 22:
      return "OnSystemComposeCodeReceived";
    case 23:
      return "OnSystemALCUPBSwitchPress";
    case 24:
      return "OnSystemUPBLink";
    default:
      return {};  // 0 and every other type: OnSystemEvent only
  }
}

LogRefresh LogEventRefresh(int32_t type) {
  switch (type) {
    case 4:
    case 5:
    case 6:
    case 128:
    case 129:
    case 132:
    case 133:
      return LogRefresh::kAllZones;
    case 135:
    case 136:
      return LogRefresh::kAreaThenZones;
    case 138:
      return LogRefresh::kAllMessages;
    default:
      break;
  }
  if (type >= 48 && type <= 54) return LogRefresh::kAreaThenZones;
  return LogRefresh::kNothing;
}

SystemRefresh SystemEventRefresh(int32_t type) {
  switch (type) {
    case 17:
      return SystemRefresh::kZone;
    case 18:
      return SystemRefresh::kUnit;
    case 20:
      return SystemRefresh::kZonesIfNoDelay;
    default:
      return SystemRefresh::kNothing;
  }
}

}  // namespace zel
