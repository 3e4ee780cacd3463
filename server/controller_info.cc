// What the controller tells about itself: the system-information read (model, version, phone
// number), the throttled status read (clock, daylight saving, sun times, battery) and the
// getters built on them, SystemParametersInfo and the SystemInformation object.
#include <array>

#include "link/frame.h"
#include "link/request.h"
#include "platform/error_info.h"
#include "platform/resource_library.h"
#include "platform/sync.h"
#include "server/system_information.h"
#include "server/system_parameters.h"
#include "server/zel_server.h"

namespace zel {
namespace {

constexpr std::array<uint8_t, 5> kSystemInformationRequest = {0x5A, 0x01, 0x11, 0xC1, 0x9C};
constexpr std::array<uint8_t, 5> kSystemStatusRequest = {0x5A, 0x01, 0x13, 0x40, 0x5D};

// The controller's date when its clock is not set.
constexpr uint32_t kDateNotSetStringId = 130;

// A resource text, or "" when the catalogue lacks it, so a text once read counts as known.
BStr ResourceTextOrEmpty(uint32_t id) {
  BStr text;
  if (Failed(LoadResourceString(id, &text))) text = BStr("");
  return text;
}

int64_t SteadyNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             Clock::Get()->Now().time_since_epoch())
      .count();
}

// An automation date of 30 December 1899 at hour:minute; E_FAIL for a time that does not exist.
HRESULT TimeOfDay(uint16_t hour, uint16_t minute, Date* out) {
  if (hour > 23 || minute > 59) return E_FAIL;
  *out = Date{(hour * 60 + minute) / 1440.0};
  return S_OK;
}

}  // namespace

HRESULT CZelServer::ReadSystemInformation() {
  ComPtr<IZelCommHandler> link = transport();
  if (!link) return S_FALSE;
  {
    MutexLock g(&mu_);
    if (!model_text_.IsNull() && !version_text_.IsNull() && !phone_text_.IsNull()) return S_OK;
  }
  ReplyBuffer reply;
  ZEL_TRY(SendControllerRequest(link.get(), true, kSystemInformationRequest.data(),
                                kSystemInformationRequest.size(), &reply));
  if (IsNakFrame(reply.get())) return E_FAIL;
  // A reply too short to hold the version is refused whole: nothing below is applied.
  SystemInformationReply info;
  ZEL_TRY(ParseSystemInformationReply(ReplyFrame(reply.get()), &info));

  ModelRow row = LookUpModelCode(info.model_code);
  BStr model_name = ResourceTextOrEmpty(row.name_string_id);
  const CapabilityRecord* record =
      row.present ? SelectCapabilityRecord(row.model_index, info.major, info.minor) : nullptr;

  MutexLock g(&mu_);
  if (model_text_.IsNull()) {
    model_index_.store(row.present ? row.model_index : kUnknownModelIndex);
    capabilities_.store(record);
    model_text_ = model_name;
  }
  if (version_text_.IsNull()) {
    version_text_ = BStr(FormatVersionText(info.major, info.minor, info.revision));
  }
  if (phone_text_.IsNull()) phone_text_ = BStr(info.phone_number);
  return S_OK;
}

HRESULT CZelServer::get_Model(BStr* model) {
  if (model == nullptr) return E_POINTER;
  {
    MutexLock g(&mu_);
    if (!model_text_.IsNull()) {
      *model = model_text_;
      return S_OK;
    }
  }
  if (status() == ssInteractive) {
    ZEL_TRY(ReadSystemInformation());
    MutexLock g(&mu_);
    if (!model_text_.IsNull()) {
      *model = model_text_;
      return S_OK;
    }
  }
  return LoadResourceString(kUnknownModelStringId, model);
}

HRESULT CZelServer::get_version(BStr* version) {
  if (version == nullptr) return E_POINTER;
  {
    MutexLock g(&mu_);
    if (!version_text_.IsNull()) {
      *version = version_text_;
      return S_OK;
    }
  }
  if (status() == ssInteractive) {
    ZEL_TRY(ReadSystemInformation());
    MutexLock g(&mu_);
    if (!version_text_.IsNull()) {
      *version = version_text_;
      return S_OK;
    }
  }
  return LoadResourceString(kUnknownModelStringId, version);
}

HRESULT CZelServer::get_PhoneNumber(BStr* phone) {
  if (phone == nullptr) return E_POINTER;
  bool unknown = false;
  {
    MutexLock g(&mu_);
    unknown = phone_text_.IsNull();
  }
  if (unknown) ZEL_TRY(ReadSystemInformation());
  MutexLock g(&mu_);
  *phone = phone_text_;
  return S_OK;
}

HRESULT CZelServer::RefreshStatus(ControllerStatusRecord* record) {
  ComPtr<IZelCommHandler> link = transport();
  HRESULT hr = S_FALSE;
  if (link) {
    // Every attempt stores its time, whether it sends or not; the throttle compares with the
    // previous attempt.
    int64_t now = SteadyNanos();
    int64_t previous = last_status_refresh_.exchange(now);
    int64_t throttle =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::Get()->Scaled(kStatusThrottle))
            .count();
    hr = S_OK;
    if (previous == kNever || now - previous > throttle) {
      ReplyBuffer reply;
      ZEL_TRY(SendControllerRequest(link.get(), true, kSystemStatusRequest.data(),
                                    kSystemStatusRequest.size(), &reply));
      if (IsNakFrame(reply.get())) return E_FAIL;
      ControllerStatusRecord fresh;
      ZEL_TRY(ParseSystemStatusReply(ReplyFrame(reply.get()), &fresh));
      MutexLock g(&mu_);
      status_record_ = fresh;
    }
  }
  MutexLock g(&mu_);
  *record = status_record_;
  return hr;
}

HRESULT CZelServer::get_Date(Variant* date) {
  if (date == nullptr) return E_POINTER;
  ControllerStatusRecord r;
  ZEL_TRY(RefreshStatus(&r));
  if (r.date_valid == 0) {
    BStr text;
    ZEL_TRY(LoadResourceString(kDateNotSetStringId, &text));
    *date = Variant::Str(text);
    return S_OK;
  }
  // Left to the implementer: a controller date that is no calendar date is E_FAIL.
  if (r.month < 1 || r.month > 12 || r.day < 1 || r.day > 31 || r.hour > 23 || r.minute > 59 ||
      r.second > 59) {
    return E_FAIL;
  }
  std::tm local{};
  local.tm_year = r.year - 1900;
  local.tm_mon = r.month - 1;
  local.tm_mday = r.day;
  local.tm_hour = r.hour;
  local.tm_min = r.minute;
  local.tm_sec = r.second;
  local.tm_wday = r.day_of_week;
  local.tm_isdst = -1;
  Date value;
  ZEL_TRY(DateFromTm(local, &value));
  *date = Variant::FromDate(value);
  return S_OK;
}

HRESULT CZelServer::get_TimeZone(Variant* zone) {
  if (zone == nullptr) return E_POINTER;
  return SystemParameter(kParamTimeZone, zone);
}

HRESULT CZelServer::get_TemperatureFormat(Variant* format) {
  if (format == nullptr) return E_POINTER;
  return SystemParameter(kParamTemperatureFormat, format);
}

HRESULT CZelServer::get_DaylightSavings(VariantBool* value) {
  if (value == nullptr) return E_POINTER;
  ControllerStatusRecord r;
  ZEL_TRY(RefreshStatus(&r));
  value->value = r.daylight_saving > 0 ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT CZelServer::get_Sunrise(Date* time) {
  if (time == nullptr) return E_POINTER;
  ControllerStatusRecord r;
  ZEL_TRY(RefreshStatus(&r));
  return TimeOfDay(r.sunrise_hour, r.sunrise_minute, time);
}

HRESULT CZelServer::get_Sunset(Date* time) {
  if (time == nullptr) return E_POINTER;
  ControllerStatusRecord r;
  ZEL_TRY(RefreshStatus(&r));
  return TimeOfDay(r.sunset_hour, r.sunset_minute, time);
}

HRESULT CZelServer::get_BatteryLevel(int32_t* level) {
  if (level == nullptr) return E_POINTER;
  ControllerStatusRecord r;
  ZEL_TRY(RefreshStatus(&r));
  *level = r.battery;
  return S_OK;
}

std::vector<uint8_t> CZelServer::SystemSetupBytes() {
  MutexLock g(&mu_);
  if (!system_setup_.IsArray() || system_setup_.array() == nullptr) return {};
  return system_setup_.array()->bytes();
}

SetupBlockView CZelServer::SetupView(std::vector<uint8_t>* storage) {
  *storage = SystemSetupBytes();
  SetupBlockView view;
  view.block = *storage;
  view.model_index = model_index();
  view.capabilities = capabilities();
  view.now = Clock::Get()->WallNow();
  return view;
}

HRESULT CZelServer::SystemParameter(uint32_t index, Variant* value) {
  if (value == nullptr) return E_POINTER;
  std::vector<uint8_t> bytes;
  return ReadSystemParameter(SetupView(&bytes), index, value);
}

HRESULT CZelServer::get_SystemParametersInfo(Variant index, Variant* value) {
  if (value == nullptr) return E_POINTER;
  Variant number;
  ZEL_TRY(ChangeType(index, VT_I4, &number));
  uint32_t parameter = static_cast<uint32_t>(number.i4());
  // User codes are secrets: only administrators read them, whatever else a client may read.
  if ((parameter & 0xFFFF) == kParamUserCode && !RoleAllows(CurrentCallerRole(), Role::kAdmin)) {
    SetErrorInfo(ErrorInfo{std::string(kProgIdZelServer), IZelServer::kIid,
                           "User codes are readable by administrators only", E_ACCESSDENIED});
    return E_ACCESSDENIED;
  }
  return SystemParameter(parameter, value);
}

AudioControlModel CZelServer::AudioControlModelNow() {
  std::vector<uint8_t> bytes;
  return AudioControlModelOf(SetupView(&bytes));
}

HRESULT CZelServer::get_SystemInformation(IDispatch** info) {
  if (info == nullptr) return E_POINTER;
  MutexLock g(&mu_);
  if (!system_information_) system_information_ = MakeObject<CZelSystemInformation>(this);
  *info = ComPtr<IDispatch>(system_information_).Detach();
  return S_OK;
}

}  // namespace zel
