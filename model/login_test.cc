// Login and Logout of web clients against the Codes collection and the setup block's user codes:
// the name and code rules, the system user of models 9 and 10, renewal and expiry on the test
// clock, what every kind of bad input gets, and the server-log entry of a refusal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/codes.h"
#include "model/object_test_fixture.h"
#include "platform/error_info.h"
#include "platform/resource_library.h"
#include "platform/text_encoding.h"
#include "server/server_log_hook.h"

namespace zel {
namespace {

constexpr Millis kMinute{60 * 1000};

class LoginTest : public ObjectTest {
 protected:
  void SetUp() override {
    ObjectTest::SetUp();
    SetServerLogWriter(
        [this](std::string_view, std::string_view feature, std::string_view text, HRESULT hr) {
          log_.push_back(std::string(feature) + "|" + std::string(text) + "|" + StatusName(hr));
        });
  }
  void TearDown() override {
    SetServerLogWriter(nullptr);
    ObjectTest::TearDown();
  }
  // Model 7 with user codes 1 "OWNER" 1234, 2 "guest" 0042, and a built-in code 251 named
  // "MASTER" whose record slot would hold 1234 too.
  void ConnectWithCodes(int model = 7) {
    UseModel(model);
    SetUserCode(1, 1234);
    SetUserCode(2, 42);
    Connect(model);
    AddElement<CZelCode>(kSlotCodes, 1, "OWNER");
    AddElement<CZelCode>(kSlotCodes, 2, "guest");
    AddElement<CZelCode>(kSlotCodes, 251, "MASTER");
  }
  HRESULT Login(const Variant& user, const Variant& code, std::string* cookie = nullptr) {
    Variant out = Variant::I4(7);  // must come back empty on failure
    HRESULT hr = server_->Login(user, code, &out);
    if (Failed(hr)) {
      EXPECT_TRUE(out.IsEmpty());
    } else {
      EXPECT_EQ(VT_BSTR, out.vt());
      if (cookie != nullptr) *cookie = out.bstr().str();
    }
    return hr;
  }
  HRESULT Login(const std::string& user, const std::string& code, std::string* cookie = nullptr) {
    return Login(Variant::Str(BStr(user)), Variant::Str(BStr(code)), cookie);
  }
  HRESULT Renew(const std::string& cookie) {
    return Login(Variant::Str(BStr(cookie)), Variant::Missing());
  }

  std::vector<std::string> log_;
};

TEST_F(LoginTest, NamesIgnoreCaseCodesDoNot) {
  ConnectWithCodes();
  std::string cookie;
  ASSERT_EQ(S_OK, Login("owner", "1234", &cookie));
  // Registry form: braces around 36 characters, and a GUID that parses.
  ASSERT_EQ(38u, cookie.size());
  EXPECT_EQ('{', cookie.front());
  EXPECT_EQ('}', cookie.back());
  GUID guid;
  EXPECT_EQ(S_OK, ParseGuid(cookie, &guid));
  EXPECT_EQ(S_OK, Login("GUEST", "0042"));
  EXPECT_EQ(E_SRV_LOGIN_DENIED, Login("Guest", "42"));     // the code is the stored text
  EXPECT_EQ(E_SRV_LOGIN_DENIED, Login("OWNER", "1235"));   // wrong code
  EXPECT_EQ(E_SRV_LOGIN_DENIED, Login("nobody", "1234"));  // unknown user
  // A number converts to its text: the code 1234 given as an integer matches.
  EXPECT_EQ(E_SRV_SESSION_ACTIVE, Login(Variant::Str("owner"), Variant::I4(1234)));
  EXPECT_EQ(ssInteractive, server_->status());  // refusals never change the status
}

TEST_F(LoginTest, BuiltInAndOutOfRangeCodesNeverMatch) {
  UseModel(7);
  SetUserCode(1, 1234);
  Connect(7);
  // The code record of 1 holds 1234, but elements 251 and 0 are not persons.
  AddElement<CZelCode>(kSlotCodes, 251, "MASTER");
  AddElement<CZelCode>(kSlotCodes, 0, "ZERO");
  EXPECT_EQ(E_SRV_LOGIN_DENIED, Login("MASTER", "1234"));
  EXPECT_EQ(E_SRV_LOGIN_DENIED, Login("ZERO", "1234"));
  // A number past the model's user code count reads no record.
  const int past = server_->capabilities()->Byte(kCapUserCodeCount) + 1;
  AddElement<CZelCode>(kSlotCodes, static_cast<uint16_t>(past), "PAST");
  EXPECT_EQ(E_SRV_LOGIN_DENIED, Login("PAST", "1234"));
}

TEST_F(LoginTest, RenewalAndExpiryRunOnTheClock) {
  ConnectWithCodes();
  std::string cookie;
  ASSERT_EQ(S_OK, Login("OWNER", "1234", &cookie));
  clock_.Advance(14 * kMinute);
  EXPECT_EQ(S_OK, Renew(cookie));  // minute 14: renewed, 15 more minutes from now
  clock_.Advance(15 * kMinute);
  EXPECT_EQ(S_OK, Renew(cookie));  // exactly 15 minutes after the renewal: still live
  // The bridge's credential lasts exactly as long as the session.
  clock_.Advance(15 * kMinute);
  EXPECT_EQ("OWNER", server_->PersonOfCookie(cookie));
  clock_.Advance(Millis(1));
  EXPECT_EQ("", server_->PersonOfCookie(cookie));
  EXPECT_EQ(E_SRV_SESSION_EXPIRED, Renew(cookie));
  EXPECT_EQ(E_SRV_LOGIN_DENIED, Renew(cookie));  // gone
  EXPECT_EQ(E_SRV_LOGIN_DENIED, server_->last_failure());
}

TEST_F(LoginTest, SecondLoginOfTheSamePairWaitsForExpiry) {
  ConnectWithCodes();
  std::string first, second;
  ASSERT_EQ(S_OK, Login("OWNER", "1234", &first));
  clock_.Advance(15 * kMinute);
  EXPECT_EQ(E_SRV_SESSION_ACTIVE, Login("OWNER", "1234"));
  // Sessions compare the name as given: another spelling is another session.
  EXPECT_EQ(S_OK, Login("owner", "1234"));
  clock_.Advance(Millis(1));
  ASSERT_EQ(S_OK, Login("OWNER", "1234", &second));
  EXPECT_NE(first, second);
  // The old session was swept by the new login; its owner still hears it expired, once.
  EXPECT_EQ(E_SRV_SESSION_EXPIRED, Renew(first));
  EXPECT_EQ(E_SRV_LOGIN_DENIED, Renew(first));
  EXPECT_EQ(S_OK, Renew(second));
}

TEST_F(LoginTest, ExpiredSessionsAreSweptByOtherClientsLogins) {
  ConnectWithCodes();
  ASSERT_EQ(S_OK, Login("OWNER", "1234"));
  clock_.Advance(16 * kMinute);
  EXPECT_EQ(1u, server_->client_sessions().records());
  ASSERT_EQ(S_OK, Login("guest", "0042"));
  EXPECT_EQ(1u, server_->client_sessions().records());  // only the guest's
}

TEST_F(LoginTest, SystemUserOnModels9And10Only) {
  ConnectWithCodes(9);
  std::string cookie;
  ASSERT_EQ(S_OK, Login(Variant::Missing(), Variant::Missing(), &cookie));
  EXPECT_EQ("SYSTEM", server_->client_sessions().UserOf(cookie));
  // No person's code stands behind it: it is no credential of the bridge.
  EXPECT_EQ("", server_->PersonOfCookie(cookie));
  EXPECT_EQ(E_SRV_SESSION_ACTIVE, Login(Variant::Missing(), Variant::Missing()));
  // Given explicitly, SYSTEM is just a name the Codes collection does not have.
  EXPECT_EQ(E_SRV_LOGIN_DENIED, Login("SYSTEM", "8461"));
}

TEST_F(LoginTest, NoArgumentsOnOtherModelsIsRefused) {
  ConnectWithCodes(7);
  EXPECT_EQ(E_SRV_LOGIN_DENIED, Login(Variant::Missing(), Variant::Missing()));
  EXPECT_EQ(E_SRV_LOGIN_DENIED, Login(Variant::Missing(), Variant::Str("1234")));
}

TEST_F(LoginTest, BadInputGetsTheRefusalAndTheErrorInformation) {
  ConnectWithCodes();
  std::string zero_inside("OWN\0ER", 6);
  std::string code_zero("1234\0", 5);
  struct Case {
    const char* what;
    Variant user, code;
  } cases[] = {
      {"null user", Variant::Null(), Variant::Str("1234")},
      {"null code", Variant::Str("OWNER"), Variant::Null()},
      {"empty user", Variant::Str(""), Variant::Str("1234")},
      {"empty code", Variant::Str("OWNER"), Variant::Str("")},
      {"empty variants", Variant(), Variant()},
      {"a number as user", Variant::I4(1), Variant::Str("1234")},
      {"an object as user", Variant::Dispatch(nullptr), Variant::Str("1234")},
      {"10,000 characters", Variant::Str(std::string(10000, 'O')), Variant::Str("1234")},
      {"a 10,000-character code", Variant::Str("OWNER"), Variant::Str(std::string(10000, '1'))},
      {"embedded zero in the user", Variant::Str(BStr(zero_inside)), Variant::Str("1234")},
      {"embedded zero in the code", Variant::Str("OWNER"), Variant::Str(BStr(code_zero))},
      {"non-ASCII user", Variant::Str("\xC3\x96WNER"), Variant::Str("1234")},
      {"not a GUID as cookie", Variant::Str("hello"), Variant::Missing()},
      {"a GUID nobody has", Variant::Str("{6B29FC40-CA47-1067-B31D-00DD010662DA}"),
       Variant::Missing()},
      {"a null cookie", Variant::Null(), Variant::Missing()},
  };
  for (const Case& c : cases) {
    ClearErrorInfo();
    EXPECT_EQ(E_SRV_LOGIN_DENIED, Login(c.user, c.code)) << c.what;
    auto info = TakeErrorInfo();
    ASSERT_TRUE(info.has_value()) << c.what;
    EXPECT_EQ(E_SRV_LOGIN_DENIED, info->code) << c.what;
    EXPECT_EQ(MessageText(0xC0000005), info->description) << c.what;
  }
  // A cookie is compared as written: the same GUID in lower case belongs to nobody.
  std::string cookie;
  ASSERT_EQ(S_OK, Login("OWNER", "1234", &cookie));
  EXPECT_EQ(E_SRV_LOGIN_DENIED, Renew(AsciiToLower(cookie)));
  EXPECT_EQ(ssInteractive, server_->status());
}

TEST_F(LoginTest, RefusalsAreLoggedWithTheUserNeverTheCode) {
  ConnectWithCodes();
  ASSERT_EQ(E_SRV_LOGIN_DENIED, Login("OWNER", "9876"));
  ASSERT_EQ(E_SRV_LOGIN_DENIED, Login(std::string(10000, 'x'), "5555"));
  ASSERT_EQ(2u, log_.size());
  EXPECT_EQ("Login|Client login refused for user \"OWNER\"|E_SRV_LOGIN_DENIED", log_[0]);
  EXPECT_EQ(std::string::npos, log_[0].find("9876"));
  EXPECT_LT(log_[1].size(), 200u);  // a long name is shortened
  EXPECT_NE(std::string::npos, log_[1].find("(10000 bytes)"));
  EXPECT_EQ(std::string::npos, log_[1].find("5555"));
}

TEST_F(LoginTest, LogoutRules) {
  ConnectWithCodes();
  EXPECT_EQ(E_FAIL, server_->Logout(Variant::Missing()));  // no session yet
  std::string cookie;
  ASSERT_EQ(S_OK, Login("OWNER", "1234", &cookie));
  EXPECT_EQ(S_OK, server_->Logout(Variant::Missing()));  // nothing changes
  EXPECT_EQ(S_OK, Renew(cookie));
  EXPECT_EQ(CO_E_CLASSSTRING, server_->Logout(Variant::Str("not a guid")));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, server_->Logout(Variant::Null()));
  // The bare 36-character form names the same session.
  EXPECT_EQ(S_OK, server_->Logout(Variant::Str(BStr(cookie.substr(1, 36)))));
  EXPECT_EQ(E_FAIL, server_->Logout(Variant::Str(BStr(cookie))));
  EXPECT_EQ(E_SRV_LOGIN_DENIED, Renew(cookie));
  // An expired session that was not touched since still logs out.
  ASSERT_EQ(S_OK, Login("OWNER", "1234", &cookie));
  clock_.Advance(20 * kMinute);
  EXPECT_EQ(S_OK, server_->Logout(Variant::Str(BStr(cookie))));
}

TEST_F(LoginTest, ReachableByDispatch) {
  ConnectWithCodes();
  Variant args[] = {Variant::Str("OWNER"), Variant::Str("1234")};
  Variant result;
  ASSERT_EQ(S_OK, server_->Invoke(kDispidLogin, DISPATCH_METHOD, args, &result));
  Variant cookie[] = {result};
  EXPECT_EQ(S_OK, server_->Invoke(kDispidLogout, DISPATCH_METHOD, cookie, nullptr));
}

}  // namespace
}  // namespace zel
