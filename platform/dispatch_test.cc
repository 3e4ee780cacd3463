// Dispatch by name and by dispid, argument conversion, omitted optionals, connection points.
#include "platform/dispatch.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/connection_point.h"

namespace zel {
namespace {

struct ISample : IDispatch {
  static constexpr IID kIid = MakeGuid(0x11111111, 0x2222, 0x3333, 0x4444555566667777);
};

class Sample final : public DispatchImpl<Sample, ISample> {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<ISample, IDispatch>(this, iid, ppv);
  }
  static const MemberTable& Members() {
    static const MemberTable table =
        MemberTableBuilder<Sample>("Sample")
            .Get(Role::kRead, "Count", 1, &Sample::get_Count)
            .Put(Role::kRead, "Count", 1, &Sample::put_Count)
            .Get(Role::kRead, "Name", 0, &Sample::get_Name)
            .Method(Role::kControl, "Arm", 2, &Sample::Arm, {"code", "mode?"})
            .Method(Role::kRead, "Bump", 3, &Sample::Bump)
            .Build();
    return table;
  }
  HRESULT get_Count(int32_t* out) {
    *out = count_;
    return S_OK;
  }
  HRESULT put_Count(uint8_t v) {
    count_ = v;
    return S_OK;
  }
  HRESULT get_Name(BStr* out) {
    *out = name_;
    return S_OK;
  }
  HRESULT Arm(BStr code, Variant mode) {
    last_code_ = code;
    last_mode_ = mode;
    return S_OK;
  }
  HRESULT Bump() {
    ++count_;
    return S_OK;
  }

  int32_t count_ = 0;
  BStr name_ = "zone";
  BStr last_code_;
  Variant last_mode_;
};

TEST(DispatchTest, ByNameIgnoresAsciiCaseAndById) {
  ComPtr<Sample> s = MakeObject<Sample>();
  DISPID id;
  ASSERT_EQ(S_OK, s->GetIDOfName("cOuNt", &id));
  EXPECT_EQ(1, id);
  EXPECT_EQ(DISP_E_UNKNOWNNAME, s->GetIDOfName("Nope", &id));
  Variant v = Variant::I4(7);
  ASSERT_EQ(S_OK, s->Invoke(1, DISPATCH_PROPERTYPUT, {&v, 1}, nullptr));
  Variant out;
  ASSERT_EQ(S_OK, s->Invoke(1, DISPATCH_PROPERTYGET, {}, &out));
  EXPECT_EQ(VT_I4, out.vt());
  EXPECT_EQ(7, out.i4());
  // Script clients call getters with both flags.
  ASSERT_EQ(S_OK, s->Invoke(0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &out));
  EXPECT_EQ("zone", out.bstr().str());
}

TEST(DispatchTest, OmittedOptionalArgumentIsParamNotFound) {
  ComPtr<Sample> s = MakeObject<Sample>();
  Variant code = Variant::Str("1234");
  ASSERT_EQ(S_OK, s->Invoke(2, DISPATCH_METHOD, {&code, 1}, nullptr));
  EXPECT_TRUE(s->last_mode_.IsMissing());
  EXPECT_EQ(VT_ERROR, s->last_mode_.vt());
  EXPECT_EQ(DISP_E_PARAMNOTFOUND, s->last_mode_.scode());
}

TEST(DispatchTest, ArgumentCountErrors) {
  ComPtr<Sample> s = MakeObject<Sample>();
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, s->Invoke(2, DISPATCH_METHOD, {}, nullptr));
  Variant three[3] = {Variant::I4(1), Variant::I4(2), Variant::I4(3)};
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, s->Invoke(2, DISPATCH_METHOD, three, nullptr));
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, s->Invoke(99, DISPATCH_METHOD, {}, nullptr));
  // Name has no put accessor.
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, s->Invoke(0, DISPATCH_PROPERTYPUT, three, nullptr));
}

// A sink that counts calls and can unadvise itself from inside its own call.
class CountingSink final : public IDispatch {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch>(this, iid, ppv);
  }
  HRESULT GetIDOfName(std::string_view, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID id, uint16_t, std::span<const Variant> args, Variant*) override {
    ++calls;
    last_dispid = id;
    if (!args.empty()) last_arg = args[0];
    if (point != nullptr && unadvise_on_call) (void)point->Unadvise(cookie);
    return S_OK;
  }
  int calls = 0;
  DISPID last_dispid = -1;
  Variant last_arg;
  ConnectionPoint* point = nullptr;
  bool unadvise_on_call = false;
  uint32_t cookie = 0;
};

// Who may use what, cell by cell: rows are the caller's role, columns the accessor's tag
// (untagged, read, control, admin, in-process).
TEST(DispatchTest, RoleAllowsMatrix) {
  constexpr Role kRoles[] = {Role::kUntagged, Role::kRead, Role::kControl, Role::kAdmin,
                             Role::kInProcess};
  constexpr bool kAllowed[5][5] = {
      {false, false, false, false, false},  // untagged caller
      {false, true, false, false, false},   // read
      {false, true, true, false, false},    // control
      {false, true, true, true, false},     // admin
      {false, false, false, false, false},  // in-process is never a caller's role
  };
  for (int caller = 0; caller < 5; ++caller) {
    for (int needed = 0; needed < 5; ++needed) {
      EXPECT_EQ(kAllowed[caller][needed], RoleAllows(kRoles[caller], kRoles[needed]))
          << RoleName(kRoles[caller]) << " using " << RoleName(kRoles[needed]);
    }
  }
  EXPECT_EQ(Role::kControl, Sample::Members().Choose(2, DISPATCH_METHOD)->role);
  EXPECT_EQ(Role::kRead, Sample::Members().Choose(1, DISPATCH_PROPERTYGET)->role);
  EXPECT_EQ(nullptr, Sample::Members().Choose(99, DISPATCH_METHOD));
}

TEST(ConnectionPointTest, SinkUnadvisingDuringItsCallDoesNotDisturbTheWalk) {
  ComPtr<Sample> owner = MakeObject<Sample>();
  ConnectionPoint cp(static_cast<ISample*>(owner.get()), ISample::kIid);
  ComPtr<CountingSink> a = MakeObject<CountingSink>(), b = MakeObject<CountingSink>();
  uint32_t ca = 0, cb = 0;
  ASSERT_EQ(S_OK, cp.Advise(static_cast<IDispatch*>(a.get()), &ca));
  ASSERT_EQ(S_OK, cp.Advise(static_cast<IDispatch*>(b.get()), &cb));
  EXPECT_NE(ca, cb);
  a->point = &cp;
  a->cookie = ca;
  a->unadvise_on_call = true;
  Variant arg = Variant::I4(16);
  cp.Fire(7, {&arg, 1});
  EXPECT_EQ(1, a->calls);
  EXPECT_EQ(1, b->calls);
  EXPECT_EQ(16, b->last_arg.i4());
  EXPECT_EQ(1u, cp.Count());
  cp.Fire(7, {&arg, 1});
  EXPECT_EQ(1, a->calls);
  EXPECT_EQ(2, b->calls);
  EXPECT_EQ(CONNECT_E_NOCONNECTION, cp.Unadvise(ca));
  EXPECT_EQ(S_OK, cp.Unadvise(cb));
}

TEST(RefCountTest, ConcurrentAddRefReleaseBalances) {
  ComPtr<Sample> s = MakeObject<Sample>();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        ComPtr<Sample> copy = s;
        ComPtr<IDispatch> d;
        ASSERT_EQ(S_OK, s.As(&d));
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(1u, s->RefCountForTesting());
}

TEST(RefCountTest, QueryForUnknownInterfaceFails) {
  ComPtr<Sample> s = MakeObject<Sample>();
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, s->QueryInterface(MakeGuid(1, 2, 3, 4), &p));
  EXPECT_EQ(nullptr, p);
  EXPECT_EQ(E_POINTER, s->QueryInterface(IDispatch::kIid, nullptr));
}

}  // namespace
}  // namespace zel
