#include "sim/controller_model.h"

#include <array>

namespace zel::sim {

int ModelIndexOfCode(int model_code) {
  // Model codes 0 to 37; -1 marks codes that name no model.
  static constexpr std::array<int8_t, 38> kIndex = {
      -1, -1, 0, -1, 1, 2, -1, 0, 2, 3, 3, 3, 3, -1, -1, 4, 5, 4, 5,
      5,  3,  4, 3,  4, 5, 3,  4, 5, 4, 5, 7, 7, 7,  7,  7, 7, 9, 10,
  };
  if (model_code < 0 || model_code >= static_cast<int>(kIndex.size())) return -1;
  return kIndex[model_code];
}

uint8_t StatusReplyLength(int model_index) {
  switch (model_index) {
    case 1:
    case 2:
      return 0x1F;
    case 3:
    case 9:
      return 0x10;
    case 5:
      return 0x27;
    case 10:
      return 0x20;
    default:  // 0, 4, 7 and models without a layout of their own
      return 0x11;
  }
}

SetupLayout LayoutOf(int model_index, int major, int minor) {
  const bool from_216 = major > 2 || (major == 2 && minor >= 16);
  SetupLayout l;
  switch (model_index) {
    case 0:
      l.size = 1024;
      l.user_codes = 329;
      l.areas_in_use = 858;
      l.expansion_types = 972;
      l.temperature_format = 817;
      l.thermostat_types = 931;
      l.time_zone = 608;
      l.zone_areas = 872;
      l.zone_types = 684;
      l.first_house_code = 672;
      break;
    case 1:
    case 2:
      l.size = 3072;
      l.user_codes = 383;
      l.areas_in_use = 2619;
      l.expansion_types = 2971;
      l.temperature_format = 2578;
      l.thermostat_types = 2862;
      l.time_zone = 1878;
      l.zone_areas = 2659;
      l.zone_types = 2317;
      l.first_house_code = 2304;
      break;
    case 3:
      l.size = 1024;
      l.user_codes = 320;
      l.areas_in_use = 750;
      l.expansion_types = 777;
      l.temperature_format = 709;
      l.thermostat_types = 754;
      l.time_zone = 478;
      l.zone_types = 590;
      l.first_house_code = 576;
      l.lighting_formats = 486;
      l.audio_modules = 784;
      l.audio_modules_first_count = 1;
      break;
    case 4:
    case 7:
      l.size = 1280;
      l.user_codes = 329;
      l.areas_in_use = 986;
      l.expansion_types = 1134;
      l.temperature_format = 945;
      l.thermostat_types = 1085;
      l.time_zone = 612;
      l.zone_areas = 1006;
      l.zone_types = 780;
      l.first_house_code = 768;
      l.lighting_formats = 622;
      if (model_index == 4) {
        l.audio_modules = 1141;
        l.audio_modules_first_count = 1;
      } else {
        l.audio_modules = 1142;
        l.audio_modules_second = 1211;
        l.audio_modules_first_count = from_216 ? 2 : 3;
      }
      break;
    case 5:
      l.size = 4096;
      l.user_codes = 383;
      l.areas_in_use = 3034;
      l.expansion_types = 3514;
      l.temperature_format = 2993;
      l.thermostat_types = 3397;
      l.time_zone = 1895;
      l.zone_areas = 3106;
      l.zone_types = 2572;
      l.first_house_code = 2560;
      l.lighting_formats = 1917;
      l.audio_modules = 3523;
      l.audio_modules_second = 3731;
      l.audio_modules_first_count = from_216 ? 3 : 4;
      break;
    case 9:
      l.size = 1280;
      l.user_codes = 320;
      l.areas_in_use = 986;
      l.expansion_types = 1031;
      l.temperature_format = 945;
      l.thermostat_types = 990;
      l.time_zone = 596;
      l.zone_types = 780;
      l.first_house_code = 768;
      l.lighting_formats = 604;
      l.audio_modules = 1039;
      l.audio_modules_first_count = 16;
      break;
    case 10:
      l.size = 3328;
      l.user_codes = 320;
      l.areas_in_use = 3034;
      l.expansion_types = 3139;
      l.temperature_format = 2993;
      l.thermostat_types = 3038;
      l.time_zone = 1783;
      l.zone_types = 2572;
      l.first_house_code = 2560;
      l.lighting_formats = 1791;
      l.audio_modules = 3148;
      l.audio_modules_first_count = 16;
      break;
    default:
      break;
  }
  return l;
}

uint8_t MessageStatusReplyLength(int model_index) {
  switch (model_index) {
    case 1:
    case 2:
    case 5:
    case 10:
      return 0x22;  // 128 messages
    case 3:
      return 0x06;  // 16 messages
    case 4:
    case 7:
    case 9:
      return 0x12;  // 64 messages
    default:
      return 0;
  }
}

}  // namespace zel::sim
