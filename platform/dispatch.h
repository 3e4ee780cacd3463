// Dispatch: calling automation members by number (dispid) or by name.
//
// Every automation class publishes one MemberTable: for each member its name, dispid and the
// ways it can be invoked (property get, put, put-by-reference, method), each with its declared
// parameter types. Invoke converts the caller's arguments to the declared types (ChangeType),
// fills omitted optional arguments with VT_ERROR/DISP_E_PARAMNOTFOUND, calls the C++ member and
// wraps its out-value in a Variant. The same table serves remote clients through the bridge, the
// On... handler objects (invoked at dispid 0) and the property maps that drive persistence.
//
// Argument order: args[0] is the first argument as written in the call (not the reversed order of
// the platform's parameter block). For a property put the value is the last argument.
//
// Thread contract: tables are built once (function-local statics) and are read-only after that;
// Invoke may run on any thread, the member itself decides its own locking.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/safe_array.h"
#include "platform/unknown.h"
#include "platform/variant.h"

namespace zel {

using DISPID = int32_t;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_NEWENUM = -4;

inline constexpr uint16_t DISPATCH_METHOD = 1;
inline constexpr uint16_t DISPATCH_PROPERTYGET = 2;
inline constexpr uint16_t DISPATCH_PROPERTYPUT = 4;
inline constexpr uint16_t DISPATCH_PROPERTYPUTREF = 8;

class MemberTable;

struct IDispatch : IUnknown {
  static constexpr IID kIid = MakeGuid(0x00020400, 0x0000, 0x0000, 0xC000000000000046);
  // Finds a member by name, ignoring ASCII letter case. DISP_E_UNKNOWNNAME when there is none.
  virtual HRESULT GetIDOfName(std::string_view name, DISPID* dispid) = 0;
  // Invokes a member; result may be null when the caller wants no value.
  virtual HRESULT Invoke(DISPID dispid, uint16_t flags, std::span<const Variant> args,
                         Variant* result) = 0;
  // The class's member table; null for objects that describe no members (client handlers).
  virtual const MemberTable* GetMemberTable() const { return nullptr; }
  // The class name shown to clients ("CZelZone").
  virtual std::string_view GetTypeName() const { return "IDispatch"; }
};

// What a caller outside the process (a client of the bridge) must hold to use an accessor. The
// roles are ordered: admin may do what control may, control what read may. kInProcess accessors
// are for code inside the process only and are never reachable from outside (the transport's
// request lock). kUntagged is what an accessor built by hand without a role carries; the bridge
// refuses it and a test keeps every registered class free of it. Callers inside the process are
// never checked.
enum class Role : uint8_t { kUntagged, kRead, kControl, kAdmin, kInProcess };

// "read", "control", "admin", "in-process", "untagged".
std::string_view RoleName(Role role);
// True when a caller holding `caller` may use an accessor tagged `needed`.
bool RoleAllows(Role caller, Role needed);

// The role of the client a call on this thread runs for. The bridge sets it around each call it
// makes for a client; everywhere else (the host, update threads, in-process callers) it is
// kAdmin. Members whose answer depends on the argument (a user code among the setup parameters)
// check it themselves.
Role CurrentCallerRole();
// Sets the calling thread's caller role for a scope and restores the previous one after.
class CallerRoleScope {
 public:
  explicit CallerRoleScope(Role role);
  ~CallerRoleScope();
  CallerRoleScope(const CallerRoleScope&) = delete;
  CallerRoleScope& operator=(const CallerRoleScope&) = delete;

 private:
  Role previous_;
};

struct ParamInfo {
  std::string name;
  VARTYPE vt = VT_VARIANT;
  bool optional = false;
};

// One way of invoking a member (get, put, putref or method).
struct Accessor {
  uint16_t kind = DISPATCH_METHOD;
  Role role = Role::kUntagged;
  std::vector<ParamInfo> params;
  VARTYPE result_vt = VT_EMPTY;  // VT_EMPTY: no result
  // Receives the arguments already converted to the declared types, all present.
  std::function<HRESULT(void* self, std::span<Variant> args, Variant* result)> call;
};

struct MemberInfo {
  std::string name;
  DISPID dispid = DISPID_UNKNOWN;
  std::vector<Accessor> accessors;
  const Accessor* Find(uint16_t kind) const {
    for (const Accessor& a : accessors) {
      if (a.kind == kind) return &a;
    }
    return nullptr;
  }
};

class MemberTable {
 public:
  MemberTable() = default;
  explicit MemberTable(std::string type_name) : type_name_(std::move(type_name)) {}

  const std::string& type_name() const { return type_name_; }
  const std::vector<MemberInfo>& members() const { return members_; }
  const MemberInfo* FindById(DISPID id) const;
  // The accessor Invoke would run for these flags; null when there is none.
  const Accessor* Choose(DISPID id, uint16_t flags) const;
  const MemberInfo* FindByName(std::string_view name) const;
  HRESULT GetIDOfName(std::string_view name, DISPID* dispid) const;

  // Invokes a member of self (which must be the object the table's binders expect).
  // Errors: DISP_E_MEMBERNOTFOUND (no such dispid or no accessor of that kind),
  // DISP_E_BADPARAMCOUNT (too many arguments, or too few for a property get/put),
  // DISP_E_PARAMNOTOPTIONAL (a required argument omitted), conversion errors of ChangeType.
  HRESULT Invoke(void* self, DISPID dispid, uint16_t flags, std::span<const Variant> args,
                 Variant* result) const;

  MemberInfo& Member(std::string_view name, DISPID dispid);

 private:
  std::string type_name_;
  std::vector<MemberInfo> members_;
};

// ---- Binding C++ members to dispatch accessors -------------------------------------------

// C++ parameter types and the variant types they are declared as.
template <class A>
struct ArgTraits;
#define ZEL_ARG_TRAIT(Type, Vt, Getter)                   \
  template <>                                             \
  struct ArgTraits<Type> {                                \
    static constexpr VARTYPE kVt = Vt;                    \
    static Type From(const Variant& v) { return Getter; } \
    static Variant To(Type const& x);                     \
  };
ZEL_ARG_TRAIT(int8_t, VT_I1, v.i1())
ZEL_ARG_TRAIT(int16_t, VT_I2, v.i2())
ZEL_ARG_TRAIT(int32_t, VT_I4, v.i4())
ZEL_ARG_TRAIT(int64_t, VT_I8, v.i8())
ZEL_ARG_TRAIT(uint8_t, VT_UI1, v.ui1())
ZEL_ARG_TRAIT(uint16_t, VT_UI2, v.ui2())
ZEL_ARG_TRAIT(uint32_t, VT_UI4, v.ui4())
ZEL_ARG_TRAIT(uint64_t, VT_UI8, v.ui8())
ZEL_ARG_TRAIT(float, VT_R4, v.r4())
ZEL_ARG_TRAIT(double, VT_R8, v.r8())
ZEL_ARG_TRAIT(bool, VT_BOOL, v.boolean())
ZEL_ARG_TRAIT(Date, VT_DATE, v.date())
ZEL_ARG_TRAIT(BStr, VT_BSTR, v.bstr())
ZEL_ARG_TRAIT(Variant, VT_VARIANT, v)
ZEL_ARG_TRAIT(IDispatch*, VT_DISPATCH, v.dispatch())
ZEL_ARG_TRAIT(IUnknown*, VT_UNKNOWN, v.unknown())
#undef ZEL_ARG_TRAIT

// 16-bit boolean out-values keep their exact bits.
struct VariantBool {
  VARIANT_BOOL value = VARIANT_FALSE;
};
template <>
struct ArgTraits<VariantBool> {
  static constexpr VARTYPE kVt = VT_BOOL;
  static VariantBool From(const Variant& v) { return {v.boolVal()}; }
  static Variant To(const VariantBool& x) { return Variant::BoolRaw(x.value); }
};

template <class A>
using ArgBase = std::remove_cvref_t<A>;

namespace dispatch_detail {

template <class P>
struct OutTraits {
  static constexpr bool kIsOut = false;
};
// An out-parameter is a pointer to a value type (int32_t*, BStr*, Variant*, VariantBool*), or a
// pointer to an interface pointer (IDispatch**). Plain interface pointers are in-arguments.
template <class R>
struct OutTraits<R*> {
  static constexpr bool kIsOut = !std::is_base_of_v<IUnknown, R>;
  using Value = R;
};

template <class R>
Variant WrapOut(R& value) {
  if constexpr (std::is_same_v<R, Variant>) {
    return std::move(value);
  } else if constexpr (std::is_same_v<R, IDispatch*>) {
    // The member handed over one reference in *out; the variant adopts it.
    Variant v = Variant::Dispatch(value);
    if (value) value->Release();
    return v;
  } else if constexpr (std::is_same_v<R, IUnknown*>) {
    Variant v = Variant::Unknown(value);
    if (value) value->Release();
    return v;
  } else {
    return ArgTraits<R>::To(value);
  }
}

template <class R>
constexpr VARTYPE OutVt() {
  if constexpr (std::is_same_v<R, IDispatch*>) {
    return VT_DISPATCH;
  } else if constexpr (std::is_same_v<R, IUnknown*>) {
    return VT_UNKNOWN;
  } else {
    return ArgTraits<R>::kVt;
  }
}

template <class R>
R OutInit() {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return R{};
  }
}

// Binds `HRESULT (C::*)(In..., [Out*])` to an Accessor.
template <class T, class C, class... P>
Accessor Bind(uint16_t kind, Role role, HRESULT (C::*fn)(P...), std::vector<std::string> names) {
  static_assert(std::is_base_of_v<C, T>, "member must belong to the class or a base");
  using Params = std::tuple<P...>;
  constexpr size_t kCount = sizeof...(P);
  constexpr bool kHasOut = [] {
    if constexpr (kCount == 0) {
      return false;
    } else {
      return OutTraits<std::tuple_element_t<kCount - 1, Params>>::kIsOut;
    }
  }();
  constexpr size_t kIn = kHasOut ? kCount - 1 : kCount;

  Accessor acc;
  acc.kind = kind;
  acc.role = role;
  [&]<size_t... I>(std::index_sequence<I...>) {
    (acc.params.push_back(ParamInfo{I < names.size() ? names[I] : "arg" + std::to_string(I),
                                    ArgTraits<ArgBase<std::tuple_element_t<I, Params>>>::kVt,
                                    false}),
     ...);
  }
  (std::make_index_sequence<kIn>{});
  // A trailing '?' on a name marks the parameter optional (only variants may be optional).
  for (ParamInfo& p : acc.params) {
    if (!p.name.empty() && p.name.back() == '?') {
      p.name.pop_back();
      p.optional = true;
    }
  }
  if constexpr (kHasOut) {
    using R = typename OutTraits<std::tuple_element_t<kCount - 1, Params>>::Value;
    acc.result_vt = OutVt<R>();
  }
  acc.call = [fn](void* self, std::span<Variant> args, Variant* result) -> HRESULT {
    C* obj = static_cast<C*>(static_cast<T*>(self));
    return [&]<size_t... I>(std::index_sequence<I...>)->HRESULT {
      if constexpr (kHasOut) {
        using R = typename OutTraits<std::tuple_element_t<kCount - 1, Params>>::Value;
        R out = OutInit<R>();
        HRESULT hr =
            (obj->*fn)(ArgTraits<ArgBase<std::tuple_element_t<I, Params>>>::From(args[I])..., &out);
        Variant wrapped = WrapOut<R>(out);
        if (result != nullptr && Succeeded(hr)) *result = std::move(wrapped);
        return hr;
      } else {
        (void)result;
        return (obj->*fn)(ArgTraits<ArgBase<std::tuple_element_t<I, Params>>>::From(args[I])...);
      }
    }
    (std::make_index_sequence<kIn>{});
  };
  return acc;
}

}  // namespace dispatch_detail

// Builds the member table of class T. Every entry names the role a client needs for it:
//   static const MemberTable& Members() {
//     static const MemberTable table = MemberTableBuilder<CZelZone>("CZelZone")
//         .Get(Role::kRead, "Count", 0x60020000, &CZelZone::get_Count)
//         .Method(Role::kControl, "Arm", 7, &CZelArea::Arm, {"vtSecurityCode", "vtMode?"})
//         .Build();
//     return table;
//   }
template <class T>
class MemberTableBuilder {
 public:
  explicit MemberTableBuilder(std::string type_name) : table_(std::move(type_name)) {}

  template <class C, class... P>
  MemberTableBuilder& Get(Role role, std::string_view name, DISPID id, HRESULT (C::*fn)(P...),
                          std::vector<std::string> params = {}) {
    return Add(name, id,
               dispatch_detail::Bind<T>(DISPATCH_PROPERTYGET, role, fn, std::move(params)));
  }
  template <class C, class... P>
  MemberTableBuilder& Put(Role role, std::string_view name, DISPID id, HRESULT (C::*fn)(P...),
                          std::vector<std::string> params = {}) {
    return Add(name, id,
               dispatch_detail::Bind<T>(DISPATCH_PROPERTYPUT, role, fn, std::move(params)));
  }
  template <class C, class... P>
  MemberTableBuilder& PutRef(Role role, std::string_view name, DISPID id, HRESULT (C::*fn)(P...)) {
    return Add(name, id, dispatch_detail::Bind<T>(DISPATCH_PROPERTYPUTREF, role, fn, {}));
  }
  template <class C, class... P>
  MemberTableBuilder& Method(Role role, std::string_view name, DISPID id, HRESULT (C::*fn)(P...),
                             std::vector<std::string> params = {}) {
    return Add(name, id, dispatch_detail::Bind<T>(DISPATCH_METHOD, role, fn, std::move(params)));
  }
  // Adds every member of another table (an interface's base members).
  MemberTableBuilder& Inherit(const MemberTable& base) {
    for (const MemberInfo& m : base.members()) {
      MemberInfo& mine = table_.Member(m.name, m.dispid);
      for (const Accessor& a : m.accessors) mine.accessors.push_back(a);
    }
    return *this;
  }
  MemberTable Build() { return std::move(table_); }

 private:
  MemberTableBuilder& Add(std::string_view name, DISPID id, Accessor acc) {
    table_.Member(name, id).accessors.push_back(std::move(acc));
    return *this;
  }
  MemberTable table_;
};

// Implements IDispatch for class T whose automation interface is Interface (which derives from
// IDispatch). T provides `static const MemberTable& Members()`.
template <class T, class Interface>
class DispatchImpl : public Interface {
 public:
  HRESULT GetIDOfName(std::string_view name, DISPID* dispid) override {
    return T::Members().GetIDOfName(name, dispid);
  }
  HRESULT Invoke(DISPID dispid, uint16_t flags, std::span<const Variant> args,
                 Variant* result) override {
    return T::Members().Invoke(static_cast<T*>(this), dispid, flags, args, result);
  }
  const MemberTable* GetMemberTable() const override { return &T::Members(); }
  std::string_view GetTypeName() const override { return T::Members().type_name(); }
};

// Convenience calls through IDispatch.
HRESULT GetProperty(IDispatch* object, std::string_view name, Variant* result);
HRESULT PutProperty(IDispatch* object, std::string_view name, const Variant& value);
HRESULT CallMethod(IDispatch* object, std::string_view name, std::span<const Variant> args,
                   Variant* result);

}  // namespace zel
