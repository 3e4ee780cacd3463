#include <gtest/gtest.h>

#include "link/frame.h"
#include "platform/error_info.h"
#include "server/server_test_fixture.h"
#include "server/system_information.h"

namespace zel {
namespace {

class ControllerInfoTest : public ServerTest {
 protected:
  int StatusRequests(FakeLink* t) {
    int n = 0;
    for (uint8_t type : t->types()) n += type == 0x13;
    return n;
  }
};

TEST_F(ControllerInfoTest, StatusReadsWithin1500msUseTheCache) {
  FakeLink* t = UseFake();
  Variant date;
  ASSERT_EQ(S_OK, server_->get_Date(&date));
  clock_.Advance(Millis(1000));
  ASSERT_EQ(S_OK, server_->get_Date(&date));
  EXPECT_EQ(1, StatusRequests(t));
  // Every attempt counts as the last one, so reads each second keep using the cache.
  for (int i = 0; i < 5; ++i) {
    clock_.Advance(Millis(1000));
    int32_t battery = 0;
    ASSERT_EQ(S_OK, server_->get_BatteryLevel(&battery));
    EXPECT_EQ(87, battery);
  }
  EXPECT_EQ(1, StatusRequests(t));
  // 1500 ms exactly is still within the throttle; more than 1500 ms asks again.
  clock_.Advance(Millis(1500));
  ASSERT_EQ(S_OK, server_->get_Date(&date));
  EXPECT_EQ(1, StatusRequests(t));
  clock_.Advance(Millis(1501));
  ASSERT_EQ(S_OK, server_->get_Date(&date));
  EXPECT_EQ(2, StatusRequests(t));
}

TEST_F(ControllerInfoTest, StatusFieldsBecomeDatesAndFlags) {
  FakeControllerConfig config;
  // valid, 2026-12-06 (Sunday) 14:30:15, daylight saving, sunrise 06:45, sunset 17:20, battery
  config.status = {1, 26, 12, 6, 7, 14, 30, 15, 1, 6, 45, 17, 20, 200};
  UseFake(config);
  Variant date;
  ASSERT_EQ(S_OK, server_->get_Date(&date));
  ASSERT_EQ(VT_DATE, date.vt());
  std::tm t{};
  ASSERT_EQ(S_OK, TmFromDate(date.date(), &t));
  EXPECT_EQ(2026 - 1900, t.tm_year);
  EXPECT_EQ(11, t.tm_mon);
  EXPECT_EQ(6, t.tm_mday);
  EXPECT_EQ(14, t.tm_hour);
  EXPECT_EQ(30, t.tm_min);
  EXPECT_EQ(15, t.tm_sec);
  VariantBool dst;
  ASSERT_EQ(S_OK, server_->get_DaylightSavings(&dst));
  EXPECT_EQ(VARIANT_TRUE, dst.value);
  Date sunrise, sunset;
  ASSERT_EQ(S_OK, server_->get_Sunrise(&sunrise));
  ASSERT_EQ(S_OK, server_->get_Sunset(&sunset));
  EXPECT_DOUBLE_EQ((6 * 60 + 45) / 1440.0, sunrise.value);
  EXPECT_DOUBLE_EQ((17 * 60 + 20) / 1440.0, sunset.value);
  int32_t battery = 0;
  ASSERT_EQ(S_OK, server_->get_BatteryLevel(&battery));
  EXPECT_EQ(200, battery);
}

TEST_F(ControllerInfoTest, TwoDigitYears) {
  FakeControllerConfig config;
  config.status = {1, 81, 1, 2, 3, 4, 5, 6, 0, 6, 0, 18, 0, 1};
  FakeLink* t = UseFake(config);
  Variant date;
  std::tm tm{};
  ASSERT_EQ(S_OK, server_->get_Date(&date));
  ASSERT_EQ(S_OK, TmFromDate(date.date(), &tm));
  EXPECT_EQ(2081, tm.tm_year + 1900);
  t->controller()->config().status[1] = 82;
  clock_.Advance(Millis(2000));
  ASSERT_EQ(S_OK, server_->get_Date(&date));
  ASSERT_EQ(S_OK, TmFromDate(date.date(), &tm));
  EXPECT_EQ(1982, tm.tm_year + 1900);
}

TEST_F(ControllerInfoTest, UnsetClockReadsAsText) {
  FakeControllerConfig config;
  config.status[0] = 0;
  UseFake(config);
  Variant date;
  ASSERT_EQ(S_OK, server_->get_Date(&date));
  EXPECT_EQ(Variant::Str("Date not set"), date);
}

TEST_F(ControllerInfoTest, RefusedOrShortStatusKeepsTheCache) {
  FakeLink* t = UseFake();
  int32_t battery = 0;
  ASSERT_EQ(S_OK, server_->get_BatteryLevel(&battery));
  t->QueueReply(NakBytes());
  clock_.Advance(Millis(2000));
  EXPECT_EQ(E_FAIL, server_->get_BatteryLevel(&battery));
  t->QueueReply(SealFrame(0x14, {1, 26, 12}));
  clock_.Advance(Millis(2000));
  EXPECT_EQ(E_FAIL, server_->get_BatteryLevel(&battery));
  clock_.Advance(Millis(1000));  // within the throttle of the last attempt: the cache
  ASSERT_EQ(S_OK, server_->get_BatteryLevel(&battery));
  EXPECT_EQ(87, battery);
}

TEST_F(ControllerInfoTest, WithoutTransportTheCacheIsUsed) {
  int32_t battery = -1;
  EXPECT_EQ(S_OK, server_->get_BatteryLevel(&battery));
  EXPECT_EQ(0, battery);
  Variant date;
  EXPECT_EQ(S_OK, server_->get_Date(&date));
  EXPECT_EQ(Variant::Str("Date not set"), date);
}

TEST_F(ControllerInfoTest, IdentityIsReadOnceAndKept) {
  FakeControllerConfig config;
  config.major = 2;
  config.minor = 16;
  config.revision = 1;
  FakeLink* t = UseFake(config);
  BStr text;
  // Before the start, unknown texts read as the unknown model's name without asking.
  ASSERT_EQ(S_OK, server_->get_Model(&text));
  EXPECT_EQ(BStr("Unknown"), text);
  ASSERT_EQ(S_OK, server_->get_version(&text));
  EXPECT_EQ(BStr("Unknown"), text);
  EXPECT_TRUE(t->frames().empty());
  // The phone number asks.
  ASSERT_EQ(S_OK, server_->get_PhoneNumber(&text));
  EXPECT_EQ(BStr("5550100"), text);
  ASSERT_EQ(S_OK, server_->get_Model(&text));
  EXPECT_EQ(BStr("Model 30"), text);
  ASSERT_EQ(S_OK, server_->get_version(&text));
  EXPECT_EQ(BStr("2.16A"), text);
  EXPECT_EQ(7, server_->model_index());
  EXPECT_EQ(CapabilityRecordAt(8), server_->capabilities());  // the 2.16 switch
  ASSERT_EQ(S_OK, server_->get_PhoneNumber(&text));
  EXPECT_EQ((std::vector<uint8_t>{0x11}), t->types());  // once only
}

TEST_F(ControllerInfoTest, InteractiveServerAsksForAnUnknownModel) {
  FakeControllerConfig config;
  config.revision = -1;
  config.model_code = 37;
  FakeLink* t = UseFake(config);
  server_->ChangeStatus(ssInteractive, S_OK);
  BStr text;
  ASSERT_EQ(S_OK, server_->get_version(&text));
  EXPECT_EQ(BStr("3.2X1"), text);
  ASSERT_EQ(S_OK, server_->get_Model(&text));
  EXPECT_EQ(BStr("Model 37"), text);
  EXPECT_EQ(10, server_->model_index());
  EXPECT_EQ(1u, t->frames().size());
}

TEST_F(ControllerInfoTest, BadSystemInformationRepliesApplyNothing) {
  FakeLink* t = UseFake();
  BStr phone;
  t->QueueReply(SealFrame(0x12, {30, 3}));  // cut off before the revision
  EXPECT_EQ(E_FAIL, server_->get_PhoneNumber(&phone));
  t->QueueReply(NakBytes());
  EXPECT_EQ(E_FAIL, server_->get_PhoneNumber(&phone));
  t->QueueReply(AckBytes());  // the wrong frame
  EXPECT_EQ(E_FAIL, server_->get_PhoneNumber(&phone));
  EXPECT_EQ(kUnknownModelIndex, server_->model_index());
  BStr model;
  ASSERT_EQ(S_OK, server_->get_Model(&model));
  EXPECT_EQ(BStr("Unknown"), model);
  // A good reply afterwards fills everything.
  ASSERT_EQ(S_OK, server_->get_PhoneNumber(&phone));
  EXPECT_EQ(7, server_->model_index());
}

TEST_F(ControllerInfoTest, SystemParametersThroughTheServer) {
  FakeControllerConfig config;
  config.setup.assign(1300, 0);
  config.setup[612] = 6;  // time zone of model index 7
  config.setup[945] = 1;  // temperature format
  config.setup[329] = 0;  // user code 1: 0x0007
  config.setup[330] = 7;
  config.block_size = 200;
  UseFake(config);
  ASSERT_EQ(S_OK, server_->OpenLocalStore());
  Variant v;
  EXPECT_EQ(E_FAIL, server_->get_TimeZone(&v));  // no setup block yet
  BStr phone;
  ASSERT_EQ(S_OK, server_->get_PhoneNumber(&phone));  // the model
  ASSERT_EQ(S_OK, server_->DownloadSetupNow(false));
  ASSERT_EQ(S_OK, server_->get_TimeZone(&v));
  EXPECT_EQ(Variant::I4(6), v);
  ASSERT_EQ(S_OK, server_->get_TemperatureFormat(&v));
  EXPECT_EQ(Variant::I4(1), v);
  EXPECT_EQ(E_INVALIDARG, server_->get_SystemParametersInfo(Variant::I4(21), &v));
  ASSERT_EQ(S_OK, server_->get_SystemParametersInfo(Variant::I4(3), &v));
  EXPECT_EQ(Variant::Str("0007"), v);
  Variant index = Variant::I4(0x00010003);  // user code 2: not set
  EXPECT_EQ(E_FAIL,
            server_->Invoke(kDispidSystemParametersInfo, DISPATCH_PROPERTYGET, {&index, 1}, &v));
  // For a client below admin the user codes are refused with error information; every other
  // parameter still reads, and the server's own code checks still see the codes.
  for (Role role : {Role::kRead, Role::kControl}) {
    CallerRoleScope as_client(role);
    for (int32_t code_index : {3, 0x00010003, 0x000F0003}) {
      v = Variant::I4(-1);
      EXPECT_EQ(E_ACCESSDENIED, server_->get_SystemParametersInfo(Variant::I4(code_index), &v));
      EXPECT_EQ(Variant::I4(-1), v);
      std::optional<ErrorInfo> info = TakeErrorInfo();
      ASSERT_TRUE(info.has_value());
      EXPECT_EQ(E_ACCESSDENIED, info->code);
    }
    ASSERT_EQ(S_OK, server_->get_SystemParametersInfo(Variant::I4(14), &v));
    EXPECT_EQ(Variant::I4(6), v);
    ASSERT_EQ(S_OK, server_->SystemParameter(3, &v));
  }
  {
    CallerRoleScope as_admin(Role::kAdmin);
    ASSERT_EQ(S_OK, server_->get_SystemParametersInfo(Variant::I4(3), &v));
    EXPECT_EQ(Variant::Str("0007"), v);
  }
  // The security-code context sees the same values and the model's code count.
  SecurityCodeContext* context = server_->security_context();
  EXPECT_EQ(7, context->ModelIndex());
  EXPECT_EQ(16u, context->CodeCount());
  ASSERT_EQ(S_OK, context->SystemParametersInfo(3, &v));
  EXPECT_EQ(Variant::Str("0007"), v);
}

TEST_F(ControllerInfoTest, SystemInformationObject) {
  ComPtr<IDispatch> a, b;
  ASSERT_EQ(S_OK, server_->get_SystemInformation(a.Receive()));
  ASSERT_EQ(S_OK, server_->get_SystemInformation(b.Receive()));
  EXPECT_EQ(a, b);
  Variant v;
  ASSERT_EQ(S_OK, GetProperty(a.get(), "IsWindowsHomeServer", &v));
  EXPECT_EQ(Variant::BoolRaw(VARIANT_FALSE), v);
  ASSERT_EQ(S_OK, GetProperty(a.get(), "AudioControlModel", &v));
  EXPECT_EQ(Variant::I4(acmUnknown), v);  // no model known yet
  server_.reset();                        // the object outlives the server and says so
  EXPECT_EQ(E_UNEXPECTED, GetProperty(a.get(), "AudioControlModel", &v));
}

}  // namespace
}  // namespace zel
