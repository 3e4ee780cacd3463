#include "bridge/event_description.h"

namespace zel::bridge {
namespace {

// A property that needs no argument: a get whose parameters are all optional.
bool ReadableWithoutArguments(const MemberInfo& member) {
  if (member.dispid == DISPID_NEWENUM) return false;
  const Accessor* get = member.Find(DISPATCH_PROPERTYGET);
  // Only what any client may read: an event goes to every session that advised.
  if (get == nullptr || get->role != Role::kRead) return false;
  for (const ParamInfo& p : get->params) {
    if (!p.optional) return false;
  }
  return true;
}

Json DescribeProperty(const Variant& value, ObjectResolver* resolver) {
  Json j = EncodeVariant(value, resolver);
  if (value.vt() == VT_DISPATCH && value.dispatch() != nullptr) {
    Variant name;
    if (Succeeded(GetProperty(value.dispatch(), "Name", &name)) && name.vt() == VT_BSTR) {
      j["name"] = name.bstr().str();
    }
  }
  return j;
}

}  // namespace

Json DescribeEventArgument(const Variant& argument, ObjectResolver* resolver) {
  Json j = EncodeVariant(argument, resolver);
  if (argument.vt() != VT_DISPATCH || argument.dispatch() == nullptr) return j;
  IDispatch* object = argument.dispatch();
  const MemberTable* members = object->GetMemberTable();
  if (members == nullptr) return j;
  Json properties = Json::object();
  for (const MemberInfo& m : members->members()) {
    if (!ReadableWithoutArguments(m)) continue;
    Variant value;
    if (Failed(object->Invoke(m.dispid, DISPATCH_PROPERTYGET, {}, &value))) continue;
    properties[m.name] = DescribeProperty(value, resolver);
  }
  j["properties"] = std::move(properties);
  return j;
}

}  // namespace zel::bridge
