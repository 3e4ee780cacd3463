#include "platform/dispatch.h"

#include <new>

#include "platform/text_encoding.h"

namespace zel {

#define ZEL_ARG_TO(Type, Expr) \
  Variant ArgTraits<Type>::To(Type const& x) { return Expr; }
ZEL_ARG_TO(int8_t, Variant::I1(x))
ZEL_ARG_TO(int16_t, Variant::I2(x))
ZEL_ARG_TO(int32_t, Variant::I4(x))
ZEL_ARG_TO(int64_t, Variant::I8(x))
ZEL_ARG_TO(uint8_t, Variant::UI1(x))
ZEL_ARG_TO(uint16_t, Variant::UI2(x))
ZEL_ARG_TO(uint32_t, Variant::UI4(x))
ZEL_ARG_TO(uint64_t, Variant::UI8(x))
ZEL_ARG_TO(float, Variant::R4(x))
ZEL_ARG_TO(double, Variant::R8(x))
ZEL_ARG_TO(bool, Variant::Bool(x))
ZEL_ARG_TO(Date, Variant::FromDate(x))
ZEL_ARG_TO(BStr, Variant::Str(x))
ZEL_ARG_TO(Variant, x)
ZEL_ARG_TO(IDispatch*, Variant::Dispatch(x))
ZEL_ARG_TO(IUnknown*, Variant::Unknown(x))
#undef ZEL_ARG_TO

namespace {

const Accessor* ChooseAccessor(const MemberInfo& m, uint16_t flags) {
  if (flags & DISPATCH_PROPERTYPUTREF) {
    if (const Accessor* a = m.Find(DISPATCH_PROPERTYPUTREF)) return a;
    return m.Find(DISPATCH_PROPERTYPUT);
  }
  if (flags & DISPATCH_PROPERTYPUT) {
    if (const Accessor* a = m.Find(DISPATCH_PROPERTYPUT)) return a;
    return m.Find(DISPATCH_PROPERTYPUTREF);
  }
  if (flags & DISPATCH_PROPERTYGET) {
    if (const Accessor* a = m.Find(DISPATCH_PROPERTYGET)) return a;
  }
  if (flags & DISPATCH_METHOD) {
    if (const Accessor* a = m.Find(DISPATCH_METHOD)) return a;
    // Script clients call property getters as methods.
    return m.Find(DISPATCH_PROPERTYGET);
  }
  return nullptr;
}

}  // namespace

MemberInfo& MemberTable::Member(std::string_view name, DISPID dispid) {
  for (MemberInfo& m : members_) {
    if (m.dispid == dispid) return m;
  }
  members_.push_back(MemberInfo{std::string(name), dispid, {}});
  return members_.back();
}

const MemberInfo* MemberTable::FindById(DISPID id) const {
  for (const MemberInfo& m : members_) {
    if (m.dispid == id) return &m;
  }
  return nullptr;
}

const Accessor* MemberTable::Choose(DISPID id, uint16_t flags) const {
  const MemberInfo* m = FindById(id);
  return m == nullptr ? nullptr : ChooseAccessor(*m, flags);
}

std::string_view RoleName(Role role) {
  switch (role) {
    case Role::kRead:
      return "read";
    case Role::kControl:
      return "control";
    case Role::kAdmin:
      return "admin";
    case Role::kInProcess:
      return "in-process";
    case Role::kUntagged:
      break;
  }
  return "untagged";
}

bool RoleAllows(Role caller, Role needed) {
  if (needed == Role::kUntagged || needed == Role::kInProcess) return false;
  if (caller == Role::kUntagged || caller == Role::kInProcess) return false;
  return static_cast<uint8_t>(caller) >= static_cast<uint8_t>(needed);
}

namespace {
thread_local Role t_caller_role = Role::kAdmin;
}  // namespace

Role CurrentCallerRole() { return t_caller_role; }

CallerRoleScope::CallerRoleScope(Role role) : previous_(t_caller_role) { t_caller_role = role; }

CallerRoleScope::~CallerRoleScope() { t_caller_role = previous_; }

const MemberInfo* MemberTable::FindByName(std::string_view name) const {
  for (const MemberInfo& m : members_) {
    if (EqualsIgnoreAsciiCase(m.name, name)) return &m;
  }
  return nullptr;
}

HRESULT MemberTable::GetIDOfName(std::string_view name, DISPID* dispid) const {
  if (dispid == nullptr) return E_POINTER;
  const MemberInfo* m = FindByName(name);
  if (m == nullptr) {
    *dispid = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  *dispid = m->dispid;
  return S_OK;
}

namespace {

HRESULT ConvertArgument(const Variant& arg, const ParamInfo& param, Variant* out) {
  if (param.vt == VT_VARIANT) {
    *out = arg;
    return S_OK;
  }
  if (arg.IsMissing()) return DISP_E_PARAMNOTOPTIONAL;
  if (arg.vt() == param.vt) {
    *out = arg;
    return S_OK;
  }
  if (param.vt == VT_DISPATCH && (arg.vt() == VT_EMPTY || arg.vt() == VT_NULL)) {
    *out = Variant::Dispatch(nullptr);
    return S_OK;
  }
  return ChangeType(arg, param.vt, out);
}

}  // namespace

HRESULT MemberTable::Invoke(void* self, DISPID dispid, uint16_t flags,
                            std::span<const Variant> args, Variant* result) const {
  const Accessor* acc = Choose(dispid, flags);
  if (acc == nullptr) return DISP_E_MEMBERNOTFOUND;
  if (args.size() > acc->params.size()) return DISP_E_BADPARAMCOUNT;

  std::vector<Variant> converted(acc->params.size());
  for (size_t i = 0; i < acc->params.size(); ++i) {
    const ParamInfo& p = acc->params[i];
    if (i >= args.size()) {
      if (!p.optional) return DISP_E_BADPARAMCOUNT;
      converted[i] = Variant::Missing();
      continue;
    }
    ZEL_TRY(ConvertArgument(args[i], p, &converted[i]));
  }
  if (result != nullptr) result->Clear();
  try {
    return acc->call(self, converted, result);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT GetProperty(IDispatch* object, std::string_view name, Variant* result) {
  if (object == nullptr) return E_POINTER;
  DISPID id;
  ZEL_TRY(object->GetIDOfName(name, &id));
  return object->Invoke(id, DISPATCH_PROPERTYGET, {}, result);
}

HRESULT PutProperty(IDispatch* object, std::string_view name, const Variant& value) {
  if (object == nullptr) return E_POINTER;
  DISPID id;
  ZEL_TRY(object->GetIDOfName(name, &id));
  return object->Invoke(id, DISPATCH_PROPERTYPUT, std::span<const Variant>(&value, 1), nullptr);
}

HRESULT CallMethod(IDispatch* object, std::string_view name, std::span<const Variant> args,
                   Variant* result) {
  if (object == nullptr) return E_POINTER;
  DISPID id;
  ZEL_TRY(object->GetIDOfName(name, &id));
  return object->Invoke(id, DISPATCH_METHOD, args, result);
}

}  // namespace zel
