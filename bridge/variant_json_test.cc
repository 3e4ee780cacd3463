#include "bridge/variant_json.h"

#include <gtest/gtest.h>

#include <cmath>

#include "bridge/fake_server.h"
#include "bridge/handle_table.h"
#include "bridge/protocol.h"

namespace zel::bridge {
namespace {

Variant Decode(const Json& j, ObjectResolver* r = nullptr) {
  Variant v;
  EXPECT_EQ(S_OK, DecodeVariant(j, r, &v)) << j.dump();
  return v;
}

HRESULT DecodeStatus(const Json& j) {
  Variant v;
  return DecodeVariant(j, nullptr, &v);
}

TEST(VariantJsonTest, IntegerTagsKeepTheirTypeAndRange) {
  EXPECT_EQ(Variant::I2(-2), Decode({{"vt", 2}, {"value", -2}}));
  EXPECT_EQ(Variant::UI4(4000000000u), Decode({{"vt", 19}, {"value", 4000000000u}}));
  EXPECT_EQ(Variant::I4(5), Decode({{"vt", 3}, {"value", 5.0}}));
  EXPECT_EQ(DISP_E_OVERFLOW, DecodeStatus({{"vt", 2}, {"value", 40000}}));
  EXPECT_EQ(DISP_E_OVERFLOW, DecodeStatus({{"vt", 17}, {"value", -1}}));
  EXPECT_EQ(DISP_E_OVERFLOW, DecodeStatus({{"vt", 19}, {"value", -1}}));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, DecodeStatus({{"vt", 3}, {"value", 1.5}}));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, DecodeStatus({{"vt", 3}, {"value", "5"}}));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, DecodeStatus({{"vt", 3}}));
}

TEST(VariantJsonTest, RealsIncludingNonFiniteTravelAsText) {
  EXPECT_EQ((Json{{"vt", 5}, {"value", "NaN"}}), EncodeVariant(Variant::R8(std::nan("")), nullptr));
  EXPECT_EQ((Json{{"vt", 5}, {"value", "-Infinity"}}),
            EncodeVariant(Variant::R8(-INFINITY), nullptr));
  EXPECT_TRUE(std::isinf(Decode({{"vt", 5}, {"value", "Infinity"}}).r8()));
  EXPECT_EQ(DISP_E_OVERFLOW, DecodeStatus({{"vt", 4}, {"value", 1e300}}));
  EXPECT_EQ(DISP_E_OVERFLOW, DecodeStatus({{"vt", 7}, {"value", "NaN"}}));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, DecodeStatus({{"vt", 5}, {"value", "lots"}}));
}

TEST(VariantJsonTest, NullStringIsNotTheEmptyString) {
  EXPECT_TRUE(Decode({{"vt", 8}, {"value", nullptr}}).bstr().IsNull());
  Variant empty = Decode({{"vt", 8}, {"value", ""}});
  EXPECT_FALSE(empty.bstr().IsNull());
  EXPECT_EQ((Json{{"vt", 8}, {"value", ""}}), EncodeVariant(empty, nullptr));
}

TEST(VariantJsonTest, ErrorsAndMissingArguments) {
  EXPECT_TRUE(Decode({{"vt", 10}}).IsMissing());
  EXPECT_TRUE(Decode({{"vt", 10}, {"value", "0x80020004"}}).IsMissing());
  EXPECT_EQ(E_FAIL, Decode({{"vt", 10}, {"value", static_cast<int64_t>(0x80004005u)}}).scode());
  EXPECT_EQ(DISP_E_TYPEMISMATCH, DecodeStatus({{"vt", 10}, {"value", "zz"}}));
}

TEST(VariantJsonTest, ArraysNestOnlySoDeep) {
  Json nested = 1;
  for (int i = 0; i < kMaxVariantDepth + 2; ++i) nested = Json::array({nested});
  EXPECT_EQ(DISP_E_BADVARTYPE, DecodeStatus(nested));
  Variant typed = Decode({{"vt", 0x2003}, {"value", {1, 2}}});
  EXPECT_EQ(0x2003, typed.vt());
  EXPECT_EQ((Json{{"vt", 0x2003}, {"value", {1, 2}}}), EncodeVariant(typed, nullptr));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, DecodeStatus({{"vt", 0x2003}, {"value", {1, "x"}}}));
  EXPECT_EQ(DISP_E_OVERFLOW, DecodeStatus({{"vt", 0x2011}, {"value", {256}}}));
  EXPECT_EQ(DISP_E_BADVARTYPE, DecodeStatus({{"vt", 0x200E}, {"value", Json::array()}}));
}

TEST(VariantJsonTest, ObjectsTravelAsHandlesOfTheResolver) {
  HandleTable handles(2);
  auto a = MakeObject<testing::FakeElement>(1, "a");
  auto b = MakeObject<testing::FakeElement>(2, "b");
  auto c = MakeObject<testing::FakeElement>(3, "c");
  Json ja = EncodeVariant(Variant::Dispatch(a.get()), &handles);
  EXPECT_EQ((Json{{"vt", 9}, {"class", "CZelTestElement"}, {"object", "h1"}}), ja);
  EXPECT_EQ(ja, EncodeVariant(Variant::Dispatch(a.get()), &handles));
  EXPECT_EQ("h2", EncodeVariant(Variant::Dispatch(b.get()), &handles)["object"]);
  Json full = EncodeVariant(Variant::Dispatch(c.get()), &handles);
  EXPECT_TRUE(full["object"].is_null());
  EXPECT_EQ(StatusText(E_BRIDGE_HANDLE_LIMIT), full["status"]);

  Variant back = Decode(ja, &handles);
  EXPECT_EQ(static_cast<IDispatch*>(a.get()), back.dispatch());
  Variant none;
  EXPECT_EQ(E_HANDLE, DecodeVariant(Json{{"vt", 9}, {"object", "h9"}}, &handles, &none));
  EXPECT_EQ(nullptr, Decode({{"vt", 9}, {"object", nullptr}}, &handles).dispatch());
  // Released handles drop their reference; closing drops all.
  back.Clear();
  const uint32_t refs = a->RefCountForTesting();
  EXPECT_EQ(S_OK, handles.Release("h1"));
  EXPECT_EQ(refs - 1, a->RefCountForTesting());
  handles.Close();
  EXPECT_EQ(1u, b->RefCountForTesting());
  std::string h;
  EXPECT_EQ(E_SRV_SESSION_EXPIRED, handles.HandleFor(b.get(), &h));
}

TEST(VariantJsonTest, ObjectWithoutTagIsNotAVariant) {
  EXPECT_EQ(E_BRIDGE_BAD_REQUEST, DecodeStatus(Json{{"value", 1}}));
  EXPECT_EQ(DISP_E_BADVARTYPE, DecodeStatus(Json{{"vt", "3"}}));
  EXPECT_EQ(DISP_E_BADVARTYPE, DecodeStatus(Json{{"vt", -1}}));
  EXPECT_EQ(DISP_E_BADVARTYPE, DecodeStatus(Json{{"vt", 6}}));
}

}  // namespace
}  // namespace zel::bridge
