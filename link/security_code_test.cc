#include "link/security_code.h"

#include <gtest/gtest.h>

#include <map>

namespace zel {
namespace {

// A controller with three user codes: 1234, (not set), 0042.
class FakeContext : public SecurityCodeContext {
 public:
  int ModelIndex() override { return model; }
  bool HasSessionList() override { return has_sessions; }
  HRESULT FindSessionUser(const GUID& cookie, BStr* user_name) override {
    auto it = sessions.find(cookie);
    if (it == sessions.end()) return E_FAIL;
    *user_name = it->second;
    return S_OK;
  }
  HRESULT FindCodeIdByName(const BStr& user_name, uint32_t* id) override {
    auto it = code_ids.find(user_name.str());
    if (it == code_ids.end()) return E_INVALIDARG;
    *id = it->second;
    return S_OK;
  }
  HRESULT SystemParametersInfo(uint32_t index, Variant* value) override {
    queried.push_back(index);
    uint32_t entry = index >> 16;
    if ((index & 0xFFFF) != 3 || entry >= codes.size() || codes[entry].empty()) return E_FAIL;
    *value = Variant::Str(codes[entry]);
    return S_OK;
  }
  uint32_t CodeCount() override { return static_cast<uint32_t>(codes.size()); }

  int model = 7;
  bool has_sessions = false;
  std::map<GUID, BStr> sessions;
  std::map<std::string, uint32_t> code_ids;
  std::vector<std::string> codes = {"1234", "", "0042"};
  std::vector<uint32_t> queried;
};

TEST(SecurityCodeTest, SingleCodeModelsAlwaysGiveCodeOne) {
  for (int model : {9, 10}) {
    FakeContext ctx;
    ctx.model = model;
    uint8_t code = 0;
    EXPECT_EQ(S_OK, ResolveSecurityCode(&ctx, Variant::Str("9999"), &code));
    EXPECT_EQ(1, code);
    EXPECT_TRUE(ctx.queried.empty());
  }
}

TEST(SecurityCodeTest, DigitsMatchStoredCodes) {
  FakeContext ctx;
  uint8_t code = 0;
  EXPECT_EQ(S_OK, ResolveSecurityCode(&ctx, Variant::Str("0042"), &code));
  EXPECT_EQ(3, code);
  // Each code record was asked for with its number less one in the high word.
  EXPECT_EQ((std::vector<uint32_t>{3, 65536 + 3, 2 * 65536 + 3}), ctx.queried);
  EXPECT_EQ(S_OK, ResolveSecurityCode(&ctx, Variant::Str("1234"), &code));
  EXPECT_EQ(1, code);
}

TEST(SecurityCodeTest, ComparisonIsExactText) {
  FakeContext ctx;
  uint8_t code = 77;
  EXPECT_EQ(E_SRV_LOGIN_DENIED, ResolveSecurityCode(&ctx, Variant::Str(" 1234"), &code));
  EXPECT_EQ(E_SRV_LOGIN_DENIED, ResolveSecurityCode(&ctx, Variant::Str("42"), &code));
  EXPECT_EQ(E_SRV_LOGIN_DENIED, ResolveSecurityCode(&ctx, Variant::Str("9999"), &code));
  EXPECT_EQ(77, code);
}

TEST(SecurityCodeTest, NumbersCompareByTheirText) {
  FakeContext ctx;
  uint8_t code = 0;
  // The number 42 reads as "42", not "0042".
  EXPECT_EQ(E_SRV_LOGIN_DENIED, ResolveSecurityCode(&ctx, Variant::I4(42), &code));
  EXPECT_EQ(S_OK, ResolveSecurityCode(&ctx, Variant::I4(1234), &code));
  EXPECT_EQ(1, code);
}

TEST(SecurityCodeTest, CookieOfAFoundSessionGivesItsCode) {
  FakeContext ctx;
  ctx.has_sessions = true;
  GUID cookie = NewGuid();
  ctx.sessions[cookie] = "OWNER";
  ctx.code_ids["OWNER"] = 0x105;  // the low byte is the code number
  uint8_t code = 0;
  EXPECT_EQ(S_OK, ResolveSecurityCode(&ctx, Variant::Str(GuidToString(cookie)), &code));
  EXPECT_EQ(5, code);
}

TEST(SecurityCodeTest, UnknownCookieFallsBackToDigits) {
  FakeContext ctx;
  ctx.has_sessions = true;
  uint8_t code = 0;
  EXPECT_EQ(E_SRV_LOGIN_DENIED,
            ResolveSecurityCode(&ctx, Variant::Str(GuidToString(NewGuid())), &code));
  // A session whose user has no code also falls back, and digits still work with sessions.
  GUID cookie = NewGuid();
  ctx.sessions[cookie] = "GUEST";
  EXPECT_EQ(E_SRV_LOGIN_DENIED,
            ResolveSecurityCode(&ctx, Variant::Str(GuidToString(cookie)), &code));
  EXPECT_EQ(S_OK, ResolveSecurityCode(&ctx, Variant::Str("1234"), &code));
  EXPECT_EQ(1, code);
}

TEST(SecurityCodeTest, CookieIgnoredWithoutSessionList) {
  FakeContext ctx;
  GUID cookie = NewGuid();
  ctx.sessions[cookie] = "OWNER";
  ctx.code_ids["OWNER"] = 2;
  uint8_t code = 0;
  EXPECT_EQ(E_SRV_LOGIN_DENIED,
            ResolveSecurityCode(&ctx, Variant::Str(GuidToString(cookie)), &code));
}

TEST(SecurityCodeTest, UnconvertibleArgumentAndBadPointers) {
  FakeContext ctx;
  uint8_t code = 0;
  EXPECT_EQ(E_SRV_LOGIN_DENIED, ResolveSecurityCode(&ctx, Variant::Unknown(nullptr), &code));
  EXPECT_EQ(E_POINTER, ResolveSecurityCode(&ctx, Variant::Str("1234"), nullptr));
  EXPECT_EQ(E_FAIL, ResolveSecurityCode(nullptr, Variant::Str("1234"), &code));
}

}  // namespace
}  // namespace zel
